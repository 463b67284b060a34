#include "support/FakeHost.h"

#include <algorithm>
#include <cstdarg>

#include "base/Text.h"

namespace talvik_test {

FakeFrame::FakeFrame(uint32_t fourcc, uint32_t size, const char* name) : buffer_(size) {
    record.fourcc = fourcc;
    record.requestedSize = size;
    record.streamName = name != nullptr ? name : "";
}

void FakeFrame::StampFrame() {
    Note("StampFrame").stamped = true;
    time_ = talvik::HostSystemTime{2026, 12, 0, 6, 10, 0, 0, 0};
}

void FakeFrame::SetTime(const talvik::HostSystemTime* time) {
    Note("SetTime");
    if (time != nullptr) time_ = *time;
}

FrameRecord FakeFrame::Finish() const {
    FrameRecord out = record;
    const size_t n = std::min<size_t>(record.dataSize, buffer_.size());
    out.bytes.assign(buffer_.begin(), buffer_.begin() + n);
    return out;
}

talvik::IHostFrame* FakeHost::CreateFrame(uint32_t fourcc, uint32_t size, const char* name) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (refuseCreate) return nullptr;
    ++created_;
    return new FakeFrame(fourcc, size - std::min(size, bufferShortBy), name);
}

void FakeHost::ReleaseFrame(talvik::IHostFrame* frame) {
    delete static_cast<FakeFrame*>(frame);
    std::lock_guard<std::mutex> guard(mutex_);
    ++released_;
}

bool FakeHost::OnFrame(talvik::IHostFrame* frame) {
    if (onFrame) onFrame();
    FrameRecord record = static_cast<FakeFrame*>(frame)->Finish();
    std::lock_guard<std::mutex> guard(mutex_);
    if (!acceptFrames) return false;
    frames_.push_back(std::move(record));
    changed_.notify_all();
    return true;
}

void FakeHost::OnSignalLost() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++signalLosses_;
    changed_.notify_all();
}

void FakeDriver::DebugMessage(uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = talvik::FormatStringV(format, args);
    va_end(args);
    log.DebugMessage(level, "%s", text.c_str());
}

}  // namespace talvik_test

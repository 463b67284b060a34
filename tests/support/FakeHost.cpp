#include "support/FakeHost.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>

#include "base/Text.h"

namespace talvik_test {

FakeFrame::FakeFrame(uint32_t fourcc, uint32_t size, const char* name) : buffer_(size) {
    record.fourcc = fourcc;
    record.requestedSize = size;
    record.streamName = name != nullptr ? name : "";
}

void FakeFrame::StampFrame() {
    record.calls.push_back("StampFrame");
    record.stamped = true;
    time_ = talvik::HostSystemTime{2026, 12, 0, 6, 10, 0, 0, 0};
}

void FakeFrame::SetTime(const talvik::HostSystemTime* time) {
    record.calls.push_back("SetTime");
    if (time != nullptr) time_ = *time;
}

void FakeFrame::GetTime(talvik::HostSystemTime* time) {
    if (time != nullptr) *time = time_;
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
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++released_;
    }
    delete static_cast<FakeFrame*>(frame);
}

bool FakeHost::OnFrame(talvik::IHostFrame* frame) {
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

std::vector<FrameRecord> FakeHost::Frames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
}

size_t FakeHost::FrameCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_.size();
}

int FakeHost::SignalLosses() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return signalLosses_;
}

int FakeHost::Created() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return created_;
}

int FakeHost::Released() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return released_;
}

bool FakeHost::WaitForFrames(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return frames_.size() >= count; });
}

bool FakeHost::WaitForSignalLost(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return signalLosses_ >= count; });
}

std::string FakeDriver::GetSourceName() {
    return device.address + talvik::FormatString(":%hu", device.port);
}

void FakeDriver::DebugMessage(uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = talvik::FormatStringV(format, args);
    va_end(args);
    log.DebugMessage(level, "%s", text.c_str());
}

std::string FakeDriver::GetParameterString(uint32_t n) {
    auto it = parameters.find(n);
    if (it == parameters.end() || it->second == "(none)") return std::string();
    return it->second;
}

int32_t FakeDriver::GetParameterInt(uint32_t n) {
    auto it = parameters.find(n);
    if (it == parameters.end()) return talvik::kNoParameterValue;
    const std::string& text = it->second;
    size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (i == text.size()) return talvik::kNoParameterValue;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return talvik::kNoParameterValue;
    return static_cast<int32_t>(std::stol(text));
}

}  // namespace talvik_test

#include "HostObjects.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "Platform.h"

namespace talvik_host {

HostDevice::HostDevice(DeviceDescription description) : d_(std::move(description)) {}

const char* HostDevice::GetParameter(uint32_t n) {
    const auto it = d_.parameters.find(n);
    if (it != d_.parameters.end()) return it->second.c_str();
    if (n != 0 && !d_.parameters.empty() && n < d_.parameters.rbegin()->first) return "(none)";
    return nullptr;
}

void HostDebugSink::Report(const talvik::CDebugInfoIf* info) {
    if (info == nullptr) return;
    LogRecord record;
    record.level = info->GetLevel();
    const char* text = info->GetText();
    record.hasText = text != nullptr;
    if (text != nullptr) record.text = text;
    std::lock_guard<std::mutex> guard(mutex_);
    if (out_ != nullptr) {
        std::fprintf(out_, "[%u] %s\n", unsigned(record.level), record.text.c_str());
        std::fflush(out_);
    }
    records_.push_back(std::move(record));
}

std::vector<LogRecord> HostDebugSink::Records() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
}

std::vector<LogRecord> HostDebugSink::Find(const std::string& part) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<LogRecord> out;
    for (const LogRecord& record : records_)
        if (record.text.find(part) != std::string::npos) out.push_back(record);
    return out;
}

void HostDebugSink::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.clear();
}

HostFrame::HostFrame(uint32_t fourcc, uint32_t size, std::string streamName)
    : HostFrame(fourcc, size, std::move(streamName), std::unique_ptr<uint8_t[]>(new uint8_t[size]),
                size) {}

HostFrame::HostFrame(uint32_t fourcc, uint32_t size, std::string streamName,
                     std::unique_ptr<uint8_t[]> buffer, uint32_t capacity)
    : buffer_(std::move(buffer)),
      bufferSize_(size),
      capacity_(capacity),
      fourcc_(fourcc),
      streamName_(std::move(streamName)) {}

std::unique_ptr<uint8_t[]> HostFrame::TakeBuffer(uint32_t* capacity) {
    *capacity = capacity_;
    bufferSize_ = capacity_ = dataSize_ = 0;
    return std::move(buffer_);
}

void HostFrame::SetDataSize(uint32_t size) {
    dataSize_ = size <= bufferSize_ ? size : bufferSize_;
}

void HostFrame::StampFrame() {
    tm utc{};
    uint32_t milliseconds = 0;
    UtcNow(&utc, &milliseconds);
    time_.year = uint16_t(utc.tm_year + 1900);
    time_.month = uint16_t(utc.tm_mon + 1);
    time_.dayOfWeek = uint16_t(utc.tm_wday);
    time_.day = uint16_t(utc.tm_mday);
    time_.hour = uint16_t(utc.tm_hour);
    time_.minute = uint16_t(utc.tm_min);
    time_.second = uint16_t(utc.tm_sec);
    time_.milliseconds = uint16_t(milliseconds);
}

void HostFrame::SetTime(const talvik::HostSystemTime* time) {
    if (time != nullptr) time_ = *time;
}

talvik::IHostFrame* HostFrameAllocator::CreateFrame(uint32_t fourcc, uint32_t size,
                                                    const char* streamName) {
    if (size > kMaxFrameBytes) return nullptr;
    PooledBuffer buffer;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        // The smallest pooled buffer that fits without wasting more than
        // about its size again.
        size_t best = pool_.size();
        for (size_t i = 0; i < pool_.size(); ++i) {
            const uint64_t capacity = pool_[i].capacity;
            if (capacity < size || capacity > 2 * uint64_t(size) + kSizeStep) continue;
            if (best == pool_.size() || capacity < pool_[best].capacity) best = i;
        }
        if (best < pool_.size()) {
            buffer = std::move(pool_[best]);
            pool_.erase(pool_.begin() + std::ptrdiff_t(best));
        }
    }
    HostFrame* frame = nullptr;
    try {
        if (!buffer.data) {
            // Whole steps, so that frames of similar sizes can share buffers.
            buffer.capacity = std::max<uint32_t>(
                size,
                uint32_t(std::min<uint64_t>(
                    (uint64_t(size) + kSizeStep - 1) / kSizeStep * kSizeStep, kMaxFrameBytes)));
            buffer.data.reset(new uint8_t[buffer.capacity]);
        }
        frame = new HostFrame(fourcc, size, streamName != nullptr ? streamName : "",
                              std::move(buffer.data), buffer.capacity);
    } catch (...) {
        return nullptr;  // the module treats null as "no frame to give"
    }
    std::lock_guard<std::mutex> guard(mutex_);
    ++created_;
    return frame;
}

void HostFrameAllocator::ReleaseFrame(talvik::IHostFrame* frame) {
    if (frame == nullptr) return;
    PooledBuffer buffer;
    buffer.data = static_cast<HostFrame*>(frame)->TakeBuffer(&buffer.capacity);
    delete frame;
    std::lock_guard<std::mutex> guard(mutex_);
    ++released_;
    if (buffer.data && buffer.capacity > 0 && pool_.size() < kPoolBuffers) {
        pool_.push_back(std::move(buffer));
    }
}

uint64_t HostFrameAllocator::Created() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return created_;
}

uint64_t HostFrameAllocator::Released() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return released_;
}

bool HostFrameSink::OnFrame(talvik::IHostFrame* frame) {
    if (frame == nullptr) return false;
    KeptFrame kept;
    bool keep = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        keep = kept_.size() < keepLimit_;
    }
    if (keep) {
        kept.fourcc = frame->GetFourCC();
        kept.width = frame->GetWidth();
        kept.height = frame->GetHeight();
        kept.resolutionClass = frame->GetResolutionClass();
        frame->GetTime(&kept.time);
        if (HostFrame* own = dynamic_cast<HostFrame*>(frame)) kept.streamName = own->StreamName();
        const uint32_t size = frame->GetDataSize();
        const uint32_t capacity = frame->GetBufferSize();
        const uint8_t* data = frame->GetBuffer();
        if (data != nullptr) kept.data.assign(data, data + (size <= capacity ? size : capacity));
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++frames_;
        if (keep && kept_.size() < keepLimit_) kept_.push_back(std::move(kept));
    }
    changed_.notify_all();
    return true;
}

void HostFrameSink::OnSignalLost() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++signalLost_;
    }
    changed_.notify_all();
}

uint64_t HostFrameSink::FrameCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
}

uint64_t HostFrameSink::SignalLostCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return signalLost_;
}

std::vector<KeptFrame> HostFrameSink::Frames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return kept_;
}

bool HostFrameSink::WaitForFrames(uint64_t count, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return frames_ >= count; });
}

std::string FourCCText(uint32_t fourcc) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = char((fourcc >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

}  // namespace talvik_host

// In-process stand-ins for the host side of the frame contract and for the
// driver, so that parsers and channels can be tested without loading the
// module. Every frame handed over is copied into a record that tests inspect.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/Driver.h"
#include "support/RecordingLogger.h"
#include "talvik/HostFrame.h"

namespace talvik_test {

// Everything a parser or channel wrote into one frame, in call order.
struct FrameRecord {
    uint32_t fourcc = 0;
    uint32_t requestedSize = 0;
    std::string streamName;
    std::vector<uint8_t> bytes;  // the first GetDataSize bytes of the buffer
    uint32_t dataSize = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t resolutionClass = 0;
    bool stamped = false;
    std::vector<std::string> calls;  // "GetBuffer", "SetWidth", ... in order
};

class FakeFrame : public talvik::IHostFrame {
public:
    FakeFrame(uint32_t fourcc, uint32_t size, const char* name);
    uint32_t GetBufferSize() override { return static_cast<uint32_t>(buffer_.size()); }
    uint8_t* GetBuffer() override {
        Note("GetBuffer");
        return buffer_.data();
    }
    uint32_t GetDataSize() override { return record.dataSize; }
    void SetDataSize(uint32_t size) override { Note("SetDataSize").dataSize = size; }
    void StampFrame() override;
    void SetTime(const talvik::HostSystemTime* time) override;
    void GetTime(talvik::HostSystemTime* time) override { *time = time_; }
    uint32_t GetFourCC() override { return record.fourcc; }
    void SetFourCC(uint32_t fourcc) override { Note("SetFourCC").fourcc = fourcc; }
    uint32_t GetHeight() override { return record.height; }
    void SetHeight(uint32_t height) override { Note("SetHeight").height = height; }
    uint32_t GetWidth() override { return record.width; }
    void SetWidth(uint32_t width) override { Note("SetWidth").width = width; }
    uint32_t GetResolutionClass() override { return record.resolutionClass; }
    void SetResolutionClass(uint32_t value) override {
        Note("SetResolutionClass").resolutionClass = value;
    }

    // The record with the payload bytes taken from the buffer.
    FrameRecord Finish() const;

    FrameRecord record;

private:
    FrameRecord& Note(const char* call) {
        record.calls.push_back(call);
        return record;
    }
    std::vector<uint8_t> buffer_;
    talvik::HostSystemTime time_;
};

// Allocator and sink in one: frames accepted by OnFrame are recorded.
class FakeHost : public talvik::IHostFrameAllocator, public talvik::IHostFrameSink {
public:
    talvik::IHostFrame* CreateFrame(uint32_t fourcc, uint32_t size, const char* name) override;
    void ReleaseFrame(talvik::IHostFrame* frame) override;
    bool OnFrame(talvik::IHostFrame* frame) override;
    void OnSignalLost() override;

    std::vector<FrameRecord> Frames() const { return Locked(frames_); }
    size_t FrameCount() const { return Locked(frames_).size(); }
    int SignalLosses() const { return Locked(signalLosses_); }
    int Created() const { return Locked(created_); }
    int Released() const { return Locked(released_); }
    // Wait until at least `count` frames were accepted (signal losses were
    // reported); false after timeoutMs.
    bool WaitForFrames(size_t count, int timeoutMs) const {
        return WaitFor(timeoutMs, [&] { return frames_.size() >= count; });
    }
    bool WaitForSignalLost(int count, int timeoutMs) const {
        return WaitFor(timeoutMs, [&] { return signalLosses_ >= count; });
    }

    std::function<void()> onFrame;  // runs first in OnFrame: a host that takes its time
    bool refuseCreate = false;      // CreateFrame returns null
    bool acceptFrames = true;       // OnFrame's answer
    uint32_t bufferShortBy = 0;     // frames get this many bytes less than asked

private:
    template <typename T>
    T Locked(const T& field) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return field;
    }
    template <typename F>
    bool WaitFor(int timeoutMs, F done) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<FrameRecord> frames_;
    int signalLosses_ = 0;
    int created_ = 0;
    int released_ = 0;
};

// A driver with settable device, text parameters and allocator; messages go
// to `log`.
class FakeDriver : public talvik::IDriver {
public:
    std::string GetSourceName() override {
        return device.address + ":" + std::to_string(device.port);
    }
    void DebugMessage(uint32_t level, const char* format, ...) override
        __attribute__((format(printf, 3, 4)));
    std::string GetDriverName() override { return driverName; }
    std::string GetHostDirectory() override { return hostDirectory; }
    const talvik::DEVICE_INFO* GetDeviceInfo() override { return &device; }
    std::pair<uint32_t, uint32_t> GetIOCounts() override { return {0, 0}; }
    talvik::IHostFrameAllocator* GetHostContext() override { return allocator; }
    int32_t GetParameterOneValue() override { return 0; }
    uint32_t GetDefaultCodec() override { return 1; }
    uint32_t GetVideoInputCount() override { return videoInputs; }
    std::string GetParameterString(uint32_t n) override {
        auto it = parameters.find(n);
        return it == parameters.end() || it->second == "(none)" ? std::string() : it->second;
    }
    // No test sets a number the channels read.
    int32_t GetParameterInt(uint32_t) override { return talvik::kNoParameterValue; }
    bool GetParameterSevenFlag() override { return false; }

    talvik::DEVICE_INFO device;
    std::string driverName = "talvik_test";
    std::string hostDirectory;  // empty: no settings file
    talvik::IHostFrameAllocator* allocator = nullptr;
    uint32_t videoInputs = 1;
    std::map<uint32_t, std::string> parameters;
    RecordingLogger log;
};

}  // namespace talvik_test

// The reference host's implementations of every host-side interface the
// module calls: the device description, the debug sink, stream settings, the
// frame allocator with real buffers and a frame sink that counts and keeps
// frames. Reused by every subcommand and by the tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "talvik/DebugSink.h"
#include "talvik/HostDevice.h"
#include "talvik/HostFrame.h"
#include "talvik/HostStream.h"

namespace talvik_host {

// What the host knows about one device (the flags of `open`).
struct DeviceDescription {
    std::string address;
    uint16_t port = 80;
    std::string userName;
    std::string password;
    std::string model;
    uint32_t videoInputs = 1;
    uint32_t digitalInputs = 0;
    uint32_t digitalOutputs = 0;
    uint32_t defaultCodec = 3;
    std::map<uint32_t, std::string> parameters;  // numbered from 1
};

class HostCameraInfo : public talvik::IHostCameraInfo {
public:
    explicit HostCameraInfo(const DeviceDescription& d) : d_(d) {}
    const char* GetModel() override { return d_.model.c_str(); }
    uint32_t GetVideoInputCount() override { return d_.videoInputs; }
    uint32_t GetDigitalInputCount() override { return d_.digitalInputs; }
    uint32_t GetDigitalOutputCount() override { return d_.digitalOutputs; }

private:
    const DeviceDescription& d_;
};

class HostConnectionInfo : public talvik::IHostConnectionInfo {
public:
    explicit HostConnectionInfo(const DeviceDescription& d) : d_(d) {}
    const char* GetAddress() override { return d_.address.c_str(); }
    uint16_t GetPort() override { return d_.port; }
    uint32_t GetDefaultCodec() override { return d_.defaultCodec; }
    const char* GetUserName() override { return d_.userName.c_str(); }
    const char* GetPassword() override { return d_.password.c_str(); }

private:
    const DeviceDescription& d_;
};

// The module reads parameters 1, 2, 3, ... until the first null, so numbers
// below the highest one given that were not given read as "(none)".
class HostDevice : public talvik::IHostDevice {
public:
    explicit HostDevice(DeviceDescription description);
    // The sub-objects refer to this object's description.
    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;
    talvik::IHostCameraInfo* GetCameraInfo() override { return &camera_; }
    talvik::IHostConnectionInfo* GetConnectionInfo() override { return &connection_; }
    const char* GetParameter(uint32_t n) override;
    const DeviceDescription& Description() const { return d_; }

private:
    DeviceDescription d_;
    HostCameraInfo camera_{d_};
    HostConnectionInfo connection_{d_};
};

struct LogRecord {
    uint8_t level = 0;
    bool hasText = false;  // false: the module sent an empty message
    std::string text;
};

// Prints one line per message ("[level] text") to `out` (null: silent) and
// keeps every record. Accepts calls from many threads at once.
class HostDebugSink : public talvik::IHostDebugSink {
public:
    explicit HostDebugSink(FILE* out = stderr) : out_(out) {}
    void Report(const talvik::CDebugInfoIf* info) override;

    std::vector<LogRecord> Records() const;
    // Records whose text contains `part`.
    std::vector<LogRecord> Find(const std::string& part) const;
    void Clear();

private:
    FILE* out_;
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

// What a stream start asks for.
struct StreamRequest {
    uint32_t width = 1280;
    uint32_t height = 720;
    uint32_t codec = 0;            // 0: the device's default
    uint32_t frameInterval = 200;  // StartVideo: unit-encoded; StartStream: ms
    uint32_t quality = 50;
    uint32_t auxiliary = 0;
    uint32_t hostOption = 0;
};

class HostFrameSize : public talvik::IHostFrameSize {
public:
    HostFrameSize(uint32_t width, uint32_t height) : width_(width), height_(height) {}
    uint32_t GetWidth() override { return width_; }
    uint32_t GetHeight() override { return height_; }

private:
    uint32_t width_;
    uint32_t height_;
};

class HostStreamSettings : public talvik::IHostStreamSettings,
                           private talvik::IHostStreamFormat,
                           private talvik::IHostFrameRate {
public:
    explicit HostStreamSettings(const StreamRequest& request)
        : request_(request), size_(request.width, request.height) {}
    talvik::IHostStreamFormat* GetFormat() override { return this; }
    talvik::IHostFrameRate* GetRate() override { return this; }
    uint32_t GetHostOption() override { return request_.hostOption; }

private:
    talvik::IHostFrameSize* GetSize() override { return &size_; }
    uint32_t GetCodec() override { return request_.codec; }
    uint32_t GetFrameInterval() override { return request_.frameInterval; }
    uint32_t GetQuality() override { return request_.quality; }
    uint32_t GetAuxiliaryRequested() override { return request_.auxiliary; }

    StreamRequest request_;
    HostFrameSize size_;
};

// A frame with a real buffer of the size the module asked for.
class HostFrame : public talvik::IHostFrame {
public:
    HostFrame(uint32_t fourcc, uint32_t size, std::string streamName);
    // Uses `buffer` (capacity bytes, at least size) instead of a new one.
    HostFrame(uint32_t fourcc, uint32_t size, std::string streamName,
              std::unique_ptr<uint8_t[]> buffer, uint32_t capacity);
    // Gives the buffer back for reuse; the frame is empty afterwards.
    std::unique_ptr<uint8_t[]> TakeBuffer(uint32_t* capacity);
    uint32_t GetBufferSize() override { return bufferSize_; }
    uint8_t* GetBuffer() override { return bufferSize_ > 0 ? buffer_.get() : nullptr; }
    uint32_t GetDataSize() override { return dataSize_; }
    // Clamped to the buffer: a size beyond it would make readers overrun.
    void SetDataSize(uint32_t size) override;
    void StampFrame() override;
    void SetTime(const talvik::HostSystemTime* time) override;
    void GetTime(talvik::HostSystemTime* time) override { *time = time_; }
    uint32_t GetFourCC() override { return fourcc_; }
    void SetFourCC(uint32_t fourcc) override { fourcc_ = fourcc; }
    uint32_t GetHeight() override { return height_; }
    void SetHeight(uint32_t height) override { height_ = height; }
    uint32_t GetWidth() override { return width_; }
    void SetWidth(uint32_t width) override { width_ = width; }
    uint32_t GetResolutionClass() override { return resolutionClass_; }
    void SetResolutionClass(uint32_t value) override { resolutionClass_ = value; }

    const std::string& StreamName() const { return streamName_; }

private:
    // Left uninitialised: the module fills what it uses, and clearing every
    // frame would cost as much as the copy itself.
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t bufferSize_;
    uint32_t capacity_;
    uint32_t dataSize_ = 0;
    uint32_t fourcc_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t resolutionClass_ = 0;
    talvik::HostSystemTime time_;
    std::string streamName_;
};

// Hands out HostFrames and takes them back; counts both so that a test can
// see a frame that was never released.
class HostFrameAllocator : public talvik::IHostFrameAllocator {
public:
    // Larger requests are refused (null), as a host with bounded memory would.
    static constexpr uint32_t kMaxFrameBytes = 64u << 20;

    talvik::IHostFrame* CreateFrame(uint32_t fourcc, uint32_t size,
                                    const char* streamName) override;
    void ReleaseFrame(talvik::IHostFrame* frame) override;

    uint64_t Created() const;
    uint64_t Released() const;

    // Released buffers are kept for the next frames, as a recording server's
    // frame pool would: a fresh buffer for every large frame costs page
    // faults on its first write.
    static constexpr size_t kPoolBuffers = 16;
    static constexpr uint32_t kSizeStep = 64 * 1024;

private:
    struct PooledBuffer {
        std::unique_ptr<uint8_t[]> data;
        uint32_t capacity = 0;
    };
    mutable std::mutex mutex_;
    uint64_t created_ = 0;
    uint64_t released_ = 0;
    std::vector<PooledBuffer> pool_;
};

// A copy of a delivered frame.
struct KeptFrame {
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t resolutionClass = 0;
    talvik::HostSystemTime time;
    std::string streamName;
    std::vector<uint8_t> data;
};

// Counts every frame and keeps copies of the first `keepLimit`.
class HostFrameSink : public talvik::IHostFrameSink {
public:
    explicit HostFrameSink(size_t keepLimit = 1000) : keepLimit_(keepLimit) {}
    bool OnFrame(talvik::IHostFrame* frame) override;
    void OnSignalLost() override;

    uint64_t FrameCount() const;
    uint64_t SignalLostCount() const;
    std::vector<KeptFrame> Frames() const;
    // True once at least `count` frames arrived within timeoutMs.
    bool WaitForFrames(uint64_t count, uint32_t timeoutMs) const;

private:
    const size_t keepLimit_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    uint64_t frames_ = 0;
    uint64_t signalLost_ = 0;
    std::vector<KeptFrame> kept_;
};

// "JPEG" from a four-character code; unprintable bytes as '?'.
std::string FourCCText(uint32_t fourcc);

}  // namespace talvik_host

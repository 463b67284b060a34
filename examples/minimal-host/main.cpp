// minimal-host: the smallest recording host for the talvik_arecont module.
// It loads the module with dlopen, opens one camera, records its live stream
// and prints one line per frame. Everything a host must implement is here:
// the device description, the debug sink, the stream settings, the frame
// allocator with its frames, and the frame sink.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "talvik/DriverExports.h"

#ifndef MINIMAL_HOST_MODULE
#define MINIMAL_HOST_MODULE "libtalvik_arecont.so"
#endif

namespace {

struct Options {
    std::string module = MINIMAL_HOST_MODULE;
    std::string address = "127.0.0.1";
    uint16_t port = 80;
    std::string user;
    std::string password;
    std::string rtspPort;        // numbered device parameter 2; empty: the camera's default
    uint32_t codec = 3;          // 1 JPEG, 3 H.264
    uint32_t intervalMs = 40;  // H.264 up to 1000 ms: live over RTSP; above: key frames over HTTP
    uint32_t width = 640;
    uint32_t height = 360;
    uint32_t seconds = 5;
    uint32_t frames = 0;  // stop early once this many arrived; 0: record `seconds`
};

// --- The device: what the host knows about the camera. Read during Open only.

class CameraInfo : public talvik::IHostCameraInfo {
public:
    const char* GetModel() override { return "AV2155"; }
    uint32_t GetVideoInputCount() override { return 1; }
    uint32_t GetDigitalInputCount() override { return 0; }
    uint32_t GetDigitalOutputCount() override { return 0; }
};

class ConnectionInfo : public talvik::IHostConnectionInfo {
public:
    explicit ConnectionInfo(const Options& o) : o_(o) {}
    const char* GetAddress() override { return o_.address.c_str(); }
    uint16_t GetPort() override { return o_.port; }
    uint32_t GetDefaultCodec() override { return o_.codec; }
    const char* GetUserName() override { return o_.user.c_str(); }
    const char* GetPassword() override { return o_.password.c_str(); }

private:
    const Options& o_;
};

class Device : public talvik::IHostDevice {
public:
    explicit Device(const Options& o) : connection_(o) {
        // Parameters are read as 1, 2, 3, ... until the first null.
        if (!o.rtspPort.empty()) {
            parameters_[1] = "(none)";
            parameters_[2] = o.rtspPort;
        }
    }
    talvik::IHostCameraInfo* GetCameraInfo() override { return &camera_; }
    talvik::IHostConnectionInfo* GetConnectionInfo() override { return &connection_; }
    const char* GetParameter(uint32_t n) override {
        auto it = parameters_.find(n);
        return it == parameters_.end() ? nullptr : it->second.c_str();
    }

private:
    CameraInfo camera_;
    ConnectionInfo connection_;
    std::map<uint32_t, std::string> parameters_;
};

// --- Diagnostics: called from any module thread, several at once.

class DebugSink : public talvik::IHostDebugSink {
public:
    void Report(const talvik::CDebugInfoIf* info) override {
        const char* text = info->GetText();
        std::lock_guard<std::mutex> hold(lock_);
        std::fprintf(stderr, "[%u] %s\n", unsigned(info->GetLevel()), text ? text : "");
    }

private:
    std::mutex lock_;
};

// --- Frames: the host allocates them, the module fills them on its own
// thread, hands them to the sink and gives them back to ReleaseFrame.

class Frame : public talvik::IHostFrame {
public:
    explicit Frame(uint32_t size) : buffer_(size) {}
    uint32_t GetBufferSize() override { return uint32_t(buffer_.size()); }
    uint8_t* GetBuffer() override { return buffer_.data(); }
    uint32_t GetDataSize() override { return dataSize_; }
    void SetDataSize(uint32_t size) override { dataSize_ = size; }
    void StampFrame() override {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm utc{};
        gmtime_r(&now.tv_sec, &utc);
        time_.year = uint16_t(utc.tm_year + 1900);
        time_.month = uint16_t(utc.tm_mon + 1);
        time_.dayOfWeek = uint16_t(utc.tm_wday);
        time_.day = uint16_t(utc.tm_mday);
        time_.hour = uint16_t(utc.tm_hour);
        time_.minute = uint16_t(utc.tm_min);
        time_.second = uint16_t(utc.tm_sec);
        time_.milliseconds = uint16_t(now.tv_nsec / 1000000);
    }
    void SetTime(const talvik::HostSystemTime* time) override { time_ = *time; }
    void GetTime(talvik::HostSystemTime* time) override { *time = time_; }
    uint32_t GetFourCC() override { return fourcc_; }
    void SetFourCC(uint32_t fourcc) override { fourcc_ = fourcc; }
    uint32_t GetHeight() override { return height_; }
    void SetHeight(uint32_t height) override { height_ = height; }
    uint32_t GetWidth() override { return width_; }
    void SetWidth(uint32_t width) override { width_ = width; }
    uint32_t GetResolutionClass() override { return resolutionClass_; }
    void SetResolutionClass(uint32_t value) override { resolutionClass_ = value; }

private:
    std::vector<uint8_t> buffer_;
    uint32_t dataSize_ = 0;
    talvik::HostSystemTime time_;
    uint32_t fourcc_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t resolutionClass_ = 0;
};

class FrameAllocator : public talvik::IHostFrameAllocator {
public:
    talvik::IHostFrame* CreateFrame(uint32_t, uint32_t size, const char*) override {
        try {
            return new Frame(size);
        } catch (...) {
            return nullptr;  // no exception may reach the module
        }
    }
    void ReleaseFrame(talvik::IHostFrame* frame) override { delete frame; }
};

// One stream's frames, on the module thread that delivers that stream.
class FrameSink : public talvik::IHostFrameSink {
public:
    bool OnFrame(talvik::IHostFrame* frame) override {
        const uint32_t fourcc = frame->GetFourCC();
        char code[5] = {char(fourcc), char(fourcc >> 8), char(fourcc >> 16), char(fourcc >> 24), 0};
        talvik::HostSystemTime t;
        frame->GetTime(&t);
        std::lock_guard<std::mutex> hold(lock_);
        ++frames_;
        std::printf("frame %u: %s %ux%u %u bytes, %04u-%02u-%02u %02u:%02u:%02u.%03u UTC\n",
                    frames_, code, frame->GetWidth(), frame->GetHeight(), frame->GetDataSize(),
                    t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds);
        std::fflush(stdout);
        changed_.notify_all();
        return true;
    }
    void OnSignalLost() override {
        std::lock_guard<std::mutex> hold(lock_);
        std::printf("signal lost (the module reconnects)\n");
        std::fflush(stdout);
    }
    // Waits until `count` frames arrived (0: never) or the time is up.
    void Wait(uint32_t count, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, limit, [&] { return count > 0 && frames_ >= count; });
    }
    uint32_t Count() {
        std::lock_guard<std::mutex> hold(lock_);
        return frames_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    uint32_t frames_ = 0;
};

// --- Stream settings: read during StartStream only.

class StreamSettings : public talvik::IHostStreamSettings,
                       public talvik::IHostStreamFormat,
                       public talvik::IHostFrameRate,
                       public talvik::IHostFrameSize {
public:
    explicit StreamSettings(const Options& o) : o_(o) {}
    talvik::IHostStreamFormat* GetFormat() override { return this; }
    talvik::IHostFrameRate* GetRate() override { return this; }
    uint32_t GetHostOption() override { return 0; }
    talvik::IHostFrameSize* GetSize() override { return this; }
    uint32_t GetCodec() override { return o_.codec; }
    uint32_t GetFrameInterval() override { return o_.intervalMs; }  // plain ms for StartStream
    uint32_t GetQuality() override { return 50; }
    uint32_t GetAuxiliaryRequested() override { return 0; }
    uint32_t GetWidth() override { return o_.width; }
    uint32_t GetHeight() override { return o_.height; }

private:
    const Options& o_;
};

const char kUsage[] =
    "usage: minimal-host [--address A] [--port P] [--codec h264|jpeg] [--interval MS]\n"
    "                    [--seconds S] [--frames N] [--rtsp-port R] [--size WxH]\n"
    "                    [--user U] [--password W] [--module PATH]\n\n"
    "Records the live stream of one camera with the talvik_arecont module and prints\n"
    "one line per frame. Exit code 0 when at least N frames (at least one) arrived.\n\n"
    "  --address A      camera host name or IP address (default 127.0.0.1)\n"
    "  --port P         camera HTTP port (default 80)\n"
    "  --codec C        h264 (default) or jpeg\n"
    "  --interval MS    time between frames (default 40);\n"
    "                   H.264 up to 1000 ms comes over RTSP, above as key frames over\n"
    "                   HTTP; JPEG at short intervals is an MJPEG stream\n"
    "  --seconds S      record at most S seconds (default 5)\n"
    "  --frames N       stop as soon as N frames arrived (default: record S seconds)\n"
    "  --rtsp-port R    camera RTSP port (default: the camera's)\n"
    "  --size WxH       picture size asked for (default 640x360)\n"
    "  --user U, --password W   camera credentials\n"
    "  --module PATH    module to load (default " MINIMAL_HOST_MODULE
    ")\n\n"
    "example:\n"
    "  minimal-host --address 10.0.0.5 --codec h264 --interval 40 --frames 100\n";

bool Number(const char* text, uint32_t max, uint32_t* out) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || value > max) return false;
    *out = uint32_t(value);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        uint32_t n = 0;
        if (flag == "--module") {
            o->module = value;
        } else if (flag == "--address") {
            o->address = value;
        } else if (flag == "--port" && Number(value, 65535, &n) && n > 0) {
            o->port = uint16_t(n);
        } else if (flag == "--rtsp-port" && Number(value, 65535, &n) && n > 0) {
            o->rtspPort = value;
        } else if (flag == "--user") {
            o->user = value;
        } else if (flag == "--password") {
            o->password = value;
        } else if (flag == "--codec" &&
                   (std::strcmp(value, "h264") == 0 || std::strcmp(value, "jpeg") == 0)) {
            o->codec = value[0] == 'h' ? 3 : 1;
        } else if (flag == "--interval" && Number(value, 65535, &o->intervalMs) &&
                   o->intervalMs > 0) {
        } else if (flag == "--seconds" && Number(value, 3600, &o->seconds) && o->seconds > 0) {
        } else if (flag == "--frames" && Number(value, 1000000, &o->frames)) {
        } else if (flag == "--size" && std::sscanf(value, "%ux%u", &o->width, &o->height) == 2) {
        } else {
            std::fprintf(stderr, "minimal-host: bad argument %s %s\n", flag.c_str(), value);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // 1. Load the module and resolve the newest factory and its delete export.
    void* module = dlopen(options.module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "minimal-host: %s\n", dlerror());
        return 1;
    }
    using CreateFn = decltype(&CreateIPCaptureEx5);
    using DeleteFn = decltype(&DeleteIPCaptureEx5);
    auto create = reinterpret_cast<CreateFn>(dlsym(module, "CreateIPCaptureEx5"));
    auto destroy = reinterpret_cast<DeleteFn>(dlsym(module, "DeleteIPCaptureEx5"));
    if (create == nullptr || destroy == nullptr) {
        std::fprintf(stderr, "minimal-host: %s lacks the driver exports\n", options.module.c_str());
        return 1;
    }

    // 2. Open the device. The sink and the allocator must outlive Close.
    DebugSink debugSink;
    FrameAllocator allocator;
    Device device(options);
    talvik::ipcapture::IIPCaptureDriverEx5* driver = create();
    if (driver == nullptr || !driver->Open(&debugSink, &allocator, &device)) {
        std::fprintf(stderr, "minimal-host: cannot open %s:%u\n", options.address.c_str(),
                     unsigned(options.port));
        if (driver != nullptr) destroy(driver);
        return 1;
    }

    // 3. Start the live stream of video input 0; frames arrive on a module thread.
    FrameSink frameSink;
    StreamSettings settings(options);
    talvik::ipcapture::IIPVideoCaptureEx2* video = driver->GetVideoCaptureEx2();
    if (video != nullptr &&
        video->StartStream(0, talvik::ipcapture::kStreamLive, &frameSink, &settings)) {
        frameSink.Wait(options.frames, std::chrono::seconds(options.seconds));
    } else {
        std::fprintf(stderr, "minimal-host: the stream did not start\n");
    }

    // 4. Stop (waits for the module's threads, so no callback comes later),
    // close, delete, unload.
    if (video != nullptr) video->StopStream(0, talvik::ipcapture::kStreamLive);
    driver->Close();
    destroy(driver);
    dlclose(module);

    const uint32_t frames = frameSink.Count();
    const uint32_t wanted = options.frames > 0 ? options.frames : 1;
    std::printf("%u frames\n", frames);
    return frames >= wanted ? 0 : 1;
}

#include "driver/IPCaptureDriver.h"

#include <cstdarg>
#include <new>

#include "ThreadCancel.h"
#include "base/Text.h"
#include "channels/ChannelFactory.h"
#include "driver/DigitalIOFactory.h"
#include "driver/IPVideoCapture.h"
#include "platform/Host.h"

namespace talvik {

namespace {
constexpr uint32_t kCodecJpeg = 1;
constexpr uint32_t kCodecH264 = 3;
// Far above the seven the module reads; stops a host that never answers null
// from keeping Open busy forever.
constexpr uint32_t kMaxParameters = 1024;

std::string HostText(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}
}  // namespace

ChannelKind ChooseChannelKind(uint32_t codec, uint32_t frameIntervalMs) {
    if (codec == kCodecJpeg) return ChannelKind::kJpegHttp;
    if (codec == kCodecH264) {
        // Slower than one frame per second: single key frames over HTTP.
        return frameIntervalMs > 1000 ? ChannelKind::kH264Http : ChannelKind::kH264Rtsp;
    }
    return ChannelKind::kNone;
}

bool ParseStrictInt(const std::string& text, int32_t* out) {
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == text.size()) return false;  // empty or a lone sign
    int64_t magnitude = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > int64_t(INT32_MAX) + 1) return false;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX || value < INT32_MIN) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

CIPCaptureDriver::CIPCaptureDriver()
    : hostVersion_(ReadHostCoreVersion()), hostDirectory_(talvik::GetHostDirectory()) {}

CIPCaptureDriver::~CIPCaptureDriver() {
    Close();
    // Threads left to end by themselves may still log or ask for the device
    // record; the host's sink and allocator go with this driver.
    if (link_) link_->Cut();
}

bool CIPCaptureDriver::ReadDeviceDescription(IHostDevice* device) {
    IHostCameraInfo* camera = device->GetCameraInfo();
    IHostConnectionInfo* connection = device->GetConnectionInfo();
    if (camera == nullptr || connection == nullptr) return false;
    defaultCodec_ = connection->GetDefaultCodec();
    digitalInputCount_ = camera->GetDigitalInputCount();
    digitalOutputCount_ = camera->GetDigitalOutputCount();
    videoInputCount_ = camera->GetVideoInputCount();
    device_.address = HostText(connection->GetAddress());
    device_.port = connection->GetPort();
    device_.userName = HostText(connection->GetUserName());
    device_.password = HostText(connection->GetPassword());
    device_.model = HostText(camera->GetModel());
    // Numbers are dense from 1: the first missing one ends the list.
    for (uint32_t n = 1; n <= kMaxParameters; ++n) {
        const char* text = device->GetParameter(n);
        if (text == nullptr) break;
        parameters_[n] = text;
    }
    return true;
}

bool CIPCaptureDriver::Open(IHostDebugSink* sink, IHostFrameAllocator* allocator,
                            IHostDevice* device) {
    try {
        if (device == nullptr) return false;
        // A second Open would otherwise leak the first set of components and
        // leave their channels running.
        Close();
        if (link_) link_->Cut();
        link_.reset();
        if (!ReadDeviceDescription(device)) return false;
        sink_ = sink;
        hostContext_ = allocator;
        OnDeviceDescribed();
        DriverSnapshot snapshot;
        snapshot.driverName = GetDriverName();
        snapshot.hostDirectory = GetHostDirectory();
        snapshot.device = device_;
        snapshot.ioCounts = GetIOCounts();
        snapshot.parameterOne = GetParameterOneValue();
        snapshot.defaultCodec = GetDefaultCodec();
        snapshot.videoInputCount = GetVideoInputCount();
        snapshot.parameters = parameters_;
        snapshot.parameterSeven = GetParameterSevenFlag();
        link_ = std::make_shared<CDriverLink>(std::move(snapshot), sink, hostVersion_, allocator);
        videoCapture_.reset(new (std::nothrow) CIPVideoCapture(this, videoInputCount_));
        if (!videoCapture_) return false;
        if (!CreateDigitalIO()) return false;
        return CreateAuxiliary();
    } catch (...) {
        RethrowThreadCancellation();
        // Out of memory (e.g. an absurd input count): the host sees a failed open.
        return false;
    }
}

void CIPCaptureDriver::Close() {
    // Video first, so that every channel thread has stopped before the I/O goes.
    videoCapture_.reset();
    if (digitalIO_ != nullptr) {
        DestroyDigitalIO(digitalIO_);
        digitalIO_ = nullptr;
    }
    auxiliary_ = nullptr;
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() {
    return videoCapture_.get();
}

ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() {
    return videoCapture_.get();
}

ipcapture::IIPVideoCaptureEx2* CIPCaptureDriver::GetVideoCaptureEx2() {
    return videoCapture_.get();
}

ipcapture::ICaptureIOApi* CIPCaptureDriver::GetDigitalIO() {
    return digitalIO_;
}

void CIPCaptureDriver::LogDriverOpened(const std::string& firmware) {
    const std::string name = GetDriverName();
    if (name.empty() || device_.model.empty()) return;
    std::string text = FormatString("DRIVER IS OPENED (name: %s, device model: %s", name.c_str(),
                                    device_.model.c_str());
    if (!firmware.empty()) text += ", FW: " + firmware;
    text += FormatString(", address: %s:%u)", device_.address.c_str(), unsigned(device_.port));
    // The text is finished: it must not be read as a format again.
    DebugMessage(kLevelNotice, "%s", text.c_str());
}

std::string CIPCaptureDriver::GetSourceName() {
    return FormatString("%s:%hu", device_.address.c_str(), device_.port);
}

void CIPCaptureDriver::DebugMessage(uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ForwardDebugMessageV(sink_, hostVersion_, level, format, args);
    va_end(args);
}

std::pair<uint32_t, uint32_t> CIPCaptureDriver::GetIOCounts() {
    return {digitalInputCount_, digitalOutputCount_};
}

std::string CIPCaptureDriver::GetParameterString(uint32_t n) {
    return ParameterText(parameters_, n);
}

int32_t CIPCaptureDriver::GetParameterInt(uint32_t n) {
    return ParameterInt(parameters_, n);
}

ICameraChannel* CIPCaptureDriver::CreateVideoChannel(uint32_t videoInput, IHostFrameSink* sink,
                                                     STREAM_PARAMS* params) {
    if (sink == nullptr || params == nullptr) return nullptr;
    if (params->codec == 0 || params->codec == 16) params->codec = defaultCodec_;
    const ChannelKind kind = ChooseChannelKind(params->codec, params->frameIntervalMs);
    if (kind == ChannelKind::kNone) return nullptr;
    return NewChannel(kind, videoInput, sink);
}

IAuxiliaryChannel* CIPCaptureDriver::CreateAuxiliaryChannel(uint32_t, IHostFrameSink*) {
    return nullptr;
}

ICameraChannel* CIPCaptureDriver::NewChannel(ChannelKind kind, uint32_t videoInput,
                                             IHostFrameSink* sink) {
    IDriver* driver = Link();
    if (driver == nullptr) return nullptr;
    switch (kind) {
        case ChannelKind::kJpegHttp:
            return CreateJpegHttpChannel(videoInput, driver, sink);
        case ChannelKind::kH264Http:
            return CreateH264HttpChannel(videoInput, driver, sink);
        case ChannelKind::kH264Rtsp:
            return CreateH264RtspChannel(videoInput, driver, sink);
        case ChannelKind::kNone:
            break;
    }
    return nullptr;
}

}  // namespace talvik

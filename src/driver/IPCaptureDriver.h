// The driver object the host holds for one device: root of everything the
// module does for it. The host sees it as IIPCaptureDriverEx5; the module's
// components see it through a CDriverLink (an IDriver that outlives it); the
// video capture object asks it for channels as IVideoChannelCreator.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/Debug.h"
#include "base/DeviceInfo.h"
#include "base/Driver.h"
#include "driver/DriverLink.h"
#include "driver/VideoChannelCreator.h"
#include "talvik/IPCaptureDriver.h"

namespace talvik {

class CIPVideoCapture;

// Which channel class serves a stream.
enum class ChannelKind {
    kNone,      // codec not served
    kJpegHttp,  // codec 1
    kH264Http,  // codec 3, slower than one frame per second
    kH264Rtsp,  // codec 3, one frame per second or faster
};

// codec must already be resolved (not 0 or 16).
ChannelKind ChooseChannelKind(uint32_t codec, uint32_t frameIntervalMs);

// A strict decimal integer: optional sign, then digits only, within 32 bits.
bool ParseStrictInt(const std::string& text, int32_t* out);

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx5,
                         public IDriver,
                         public IVideoChannelCreator {
public:
    CIPCaptureDriver();
    ~CIPCaptureDriver() override;

    CIPCaptureDriver(const CIPCaptureDriver&) = delete;
    CIPCaptureDriver& operator=(const CIPCaptureDriver&) = delete;

    // IIPCaptureDriver family.
    bool Open(IHostDebugSink* sink, IHostFrameAllocator* allocator, IHostDevice* device) override;
    void Close() override;
    ipcapture::IIPVideoCapture* GetVideoCapture() override;
    ipcapture::ICaptureIOApi* GetDigitalIO() override;
    void* ReservedEx() override { return nullptr; }
    void* GetAuxiliary() override { return auxiliary_; }
    void* ReservedEx2() override { return nullptr; }
    ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
    void* GetAuxiliaryEx() override { return auxiliary_; }
    void* ReservedEx4A() override { return nullptr; }
    void* ReservedEx4B() override { return nullptr; }
    ipcapture::IIPVideoCaptureEx2* GetVideoCaptureEx2() override;

    virtual bool CreateDigitalIO() = 0;
    virtual bool CreateAuxiliary() = 0;
    // The driver-opened notice (level 100), when driver name and model are known.
    virtual void LogDriverOpened(const std::string& firmware);

    // IDebugMessage and IDriver.
    std::string GetSourceName() override;
    void DebugMessage(uint32_t level, const char* format, ...) override
        __attribute__((format(printf, 3, 4)));
    std::string GetDriverName() override = 0;
    std::string GetHostDirectory() override { return hostDirectory_; }
    const DEVICE_INFO* GetDeviceInfo() override { return &device_; }
    std::pair<uint32_t, uint32_t> GetIOCounts() override;
    IHostFrameAllocator* GetHostContext() override { return hostContext_; }
    int32_t GetParameterOneValue() override { return parameterOne_; }
    uint32_t GetDefaultCodec() override { return defaultCodec_; }
    uint32_t GetVideoInputCount() override { return videoInputCount_; }
    std::string GetParameterString(uint32_t n) override;
    int32_t GetParameterInt(uint32_t n) override;
    bool GetParameterSevenFlag() override { return false; }

    // IVideoChannelCreator.
    ICameraChannel* CreateVideoChannel(uint32_t videoInput, IHostFrameSink* sink,
                                       STREAM_PARAMS* params) override;
    IAuxiliaryChannel* CreateAuxiliaryChannel(uint32_t videoInput, IHostFrameSink* sink) override;

    const HostCoreVersion& HostVersion() const { return hostVersion_; }

protected:
    // Runs in Open once the host's description is read, before any component
    // exists: the last moment to complete the device record and the flags
    // the components are given.
    virtual void OnDeviceDescribed() {}
    // What the components are given instead of the driver (null before Open).
    IDriver* Link() const { return link_.get(); }
    // Makes a channel of the chosen class; null when the class is missing.
    virtual ICameraChannel* NewChannel(ChannelKind kind, uint32_t videoInput, IHostFrameSink* sink);
    void SetParameterOneValue(int32_t value) { parameterOne_ = value; }
    DEVICE_INFO& MutableDeviceInfo() { return device_; }

    // Digital I/O object; the subclass creates it, the base destroys it.
    ipcapture::ICaptureIOApi* digitalIO_ = nullptr;

private:
    bool ReadDeviceDescription(IHostDevice* device);

    IHostDebugSink* sink_ = nullptr;
    IHostFrameAllocator* hostContext_ = nullptr;
    std::map<uint32_t, std::string> parameters_;
    HostCoreVersion hostVersion_;
    std::string hostDirectory_;
    DEVICE_INFO device_;
    uint32_t digitalInputCount_ = 0;
    uint32_t digitalOutputCount_ = 0;
    uint32_t videoInputCount_ = 0;
    uint32_t defaultCodec_ = 0;
    int32_t parameterOne_ = 0;
    std::unique_ptr<CIPVideoCapture> videoCapture_;
    void* auxiliary_ = nullptr;  // never created by this module
    // Cut when the driver goes or opens again; the components keep it alive.
    std::shared_ptr<CDriverLink> link_;
};

}  // namespace talvik

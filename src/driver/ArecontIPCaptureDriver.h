// The module's only concrete driver.
#pragma once

#include <string>

#include "driver/IPCaptureDriver.h"

namespace talvik {

// Also names the settings file ("talvik_arecont.xml") and the host streams.
constexpr char kArecontDriverName[] = "talvik_arecont";

class CArecontIPCaptureDriver : public CIPCaptureDriver {
public:
    CArecontIPCaptureDriver() = default;
    // Closes while the whole object still exists: channel threads that are
    // being stopped may still ask for the driver name or the parameter flags.
    ~CArecontIPCaptureDriver() override { Close(); }

    bool Open(IHostDebugSink* sink, IHostFrameAllocator* allocator, IHostDevice* device) override;
    bool CreateDigitalIO() override;
    bool CreateAuxiliary() override { return true; }
    std::string GetDriverName() override { return kArecontDriverName; }
    bool GetParameterSevenFlag() override { return parameterSeven_; }

protected:
    void OnDeviceDescribed() override;

private:
    bool parameterSeven_ = false;
};

}  // namespace talvik

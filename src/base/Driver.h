// The driver as the module's own components see it. Channels, the I/O engine
// and the HTTP request helpers keep a non-owning IDriver pointer; a channel or
// I/O object also keeps a share (Share) for its own lifetime, as a thread left
// to end by itself may return into it after the driver is gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/Debug.h"
#include "base/DeviceInfo.h"
#include "talvik/HostFrame.h"

namespace talvik {

// Returned by IDriver::GetParameterInt when the parameter is absent or not an
// integer.
constexpr int32_t kNoParameterValue = INT32_MIN;

// Getters are called from every module thread at once; they only read what
// Open wrote before any of those threads started.
class IDriver : public IDebugMessage {
public:
    // A fixed name of this driver; also names the settings file and the streams.
    virtual std::string GetDriverName() = 0;
    // Directory of the host executable with a trailing "/".
    virtual std::string GetHostDirectory() = 0;
    // The device record, valid while this object lives.
    virtual const DEVICE_INFO* GetDeviceInfo() = 0;
    // (digital input count, digital output count).
    virtual std::pair<uint32_t, uint32_t> GetIOCounts() = 0;
    // The host's frame allocator given to Open (null before Open).
    virtual IHostFrameAllocator* GetHostContext() = 0;
    virtual int32_t GetParameterOneValue() = 0;
    virtual uint32_t GetDefaultCodec() = 0;
    virtual uint32_t GetVideoInputCount() = 0;
    // Parameter n's text; empty when absent or "(none)".
    virtual std::string GetParameterString(uint32_t n) = 0;
    // Parameter n as a strict decimal integer, or kNoParameterValue.
    virtual int32_t GetParameterInt(uint32_t n) = 0;
    // Parameter 7 read as 1: switch cropping on before streaming.
    virtual bool GetParameterSevenFlag() = 0;
    // A share of this object that keeps it usable after the driver is
    // deleted; null when the object is not shared (it then outlives its users).
    virtual std::shared_ptr<IDriver> Share() { return nullptr; }
};

}  // namespace talvik

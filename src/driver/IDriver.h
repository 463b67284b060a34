// The driver as the module's components see it: device description, counts,
// host parameters and logging. Components hold it without owning it; the
// driver outlives them all.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "base/Debug.h"
#include "base/DeviceInfo.h"

namespace talvik {

class IDriver : public IDebugMessage {
public:
    virtual std::string GetDriverName() = 0;
    virtual std::string GetHostDirectory() = 0;
    virtual DEVICE_INFO* GetDeviceInfo() = 0;
    // (digital input count, digital output count)
    virtual std::pair<uint32_t, uint32_t> GetIOCounts() = 0;
    virtual uint32_t GetHostContext() = 0;
    virtual int32_t GetParameterOneValue() = 0;
    virtual uint32_t GetDefaultCodec() = 0;
    virtual uint32_t GetVideoInputCount() = 0;
    virtual std::string GetParameterString(uint32_t number) = 0;
    virtual int32_t GetParameterInt(uint32_t number) = 0;
    virtual bool GetParameterSevenFlag() = 0;
};

}  // namespace talvik

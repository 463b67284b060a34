// What the driver's components hold instead of the driver itself. A thread
// that missed its stop limit may end long after the host deleted the driver,
// and the channel or I/O object it returns into still logs and reads the
// device record on its way out. The link answers from a copy taken at Open
// and passes messages to the host's sink until the driver cuts it; each
// component keeps a share, so the link outlives them all.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "base/Debug.h"
#include "base/Driver.h"
#include "platform/SharedMutex.h"

namespace talvik {

// The driver as Open left it; nothing here changes afterwards.
struct DriverSnapshot {
    std::string driverName;
    std::string hostDirectory;
    DEVICE_INFO device;
    std::pair<uint32_t, uint32_t> ioCounts{0, 0};
    int32_t parameterOne = 0;
    uint32_t defaultCodec = 0;
    uint32_t videoInputCount = 0;
    std::map<uint32_t, std::string> parameters;
    bool parameterSeven = false;
};

// Parameter n's text; empty when absent or "(none)".
std::string ParameterText(const std::map<uint32_t, std::string>& parameters, uint32_t n);
// Parameter n as a strict decimal integer, or kNoParameterValue.
int32_t ParameterInt(const std::map<uint32_t, std::string>& parameters, uint32_t n);

class CDriverLink : public IDriver, public std::enable_shared_from_this<CDriverLink> {
public:
    CDriverLink(DriverSnapshot snapshot, IHostDebugSink* sink, const HostCoreVersion& host,
                IHostFrameAllocator* allocator);

    // From now on messages are dropped and there is no frame allocator; waits
    // for a message on its way to the host's sink.
    void Cut();

    std::shared_ptr<IDriver> Share() override { return shared_from_this(); }
    std::string GetSourceName() override;
    void DebugMessage(uint32_t level, const char* format, ...) override
        __attribute__((format(printf, 3, 4)));
    std::string GetDriverName() override { return snapshot_.driverName; }
    std::string GetHostDirectory() override { return snapshot_.hostDirectory; }
    const DEVICE_INFO* GetDeviceInfo() override { return &snapshot_.device; }
    std::pair<uint32_t, uint32_t> GetIOCounts() override { return snapshot_.ioCounts; }
    IHostFrameAllocator* GetHostContext() override;
    int32_t GetParameterOneValue() override { return snapshot_.parameterOne; }
    uint32_t GetDefaultCodec() override { return snapshot_.defaultCodec; }
    uint32_t GetVideoInputCount() override { return snapshot_.videoInputCount; }
    std::string GetParameterString(uint32_t n) override;
    int32_t GetParameterInt(uint32_t n) override;
    bool GetParameterSevenFlag() override { return snapshot_.parameterSeven; }

private:
    const DriverSnapshot snapshot_;
    const HostCoreVersion host_;
    // Held shared by every message in flight, exclusively by Cut.
    CSharedMutex cutLock_;
    IHostDebugSink* sink_;            // under cutLock_; null once cut
    IHostFrameAllocator* allocator_;  // under cutLock_; null once cut
};

}  // namespace talvik

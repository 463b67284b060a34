#include "driver/ArecontIPCaptureDriver.h"

#include "ThreadCancel.h"
#include "driver/DigitalIOFactory.h"

namespace talvik {

bool CArecontIPCaptureDriver::Open(IHostDebugSink* sink, IHostFrameAllocator* allocator,
                                   IHostDevice* device) {
    if (!CIPCaptureDriver::Open(sink, allocator, device)) return false;
    try {
        LogDriverOpened(GetParameterString(6));
        return true;
    } catch (...) {
        RethrowThreadCancellation();
        return false;
    }
}

void CArecontIPCaptureDriver::OnDeviceDescribed() {
    DEVICE_INFO& info = MutableDeviceInfo();
    info.timeoutMs = 5000;
    info.dataTimeoutMs = 10000;
    const int32_t one = GetParameterInt(1);
    if (one != kNoParameterValue) SetParameterOneValue(one);
    const int32_t seven = GetParameterInt(7);
    if (seven != kNoParameterValue) parameterSeven_ = seven == 1;
}

bool CArecontIPCaptureDriver::CreateDigitalIO() {
    if (digitalIO_ == nullptr && Link() != nullptr) digitalIO_ = CreateArecontDigitalIO(Link());
    // A device without the I/O engine still opens; GetDigitalIO then gives null.
    return true;
}

}  // namespace talvik

// Digital inputs and outputs of one device, as the host sees them.
//
// Slot order is fixed (the host calls by position): the virtual destructor
// first, then the operations in the order declared here.
#pragma once

#include <cstdint>

namespace talvik {

// Implemented by the host. Called on the module's I/O threads.
class ICaptureIOCallback {
public:
    virtual ~ICaptureIOCallback() = default;
    // state: 1 inactive, 2 active.
    virtual void OnInputStateChanged(uint32_t inputIndex, uint32_t newState) = 0;
    // A camera read or write failed; every known state was forgotten.
    virtual void OnIOFailure() = 0;
};

namespace ipcapture {

// Returned by the driver's GetDigitalIO. States: 1 inactive, 2 active.
class ICaptureIOApi {
public:
    virtual ~ICaptureIOApi() = default;
    virtual bool SetCallback(ICaptureIOCallback* callback) = 0;
    virtual bool StartIO() = 0;
    virtual bool StopIO() = 0;
    virtual uint32_t GetInputCount() = 0;
    virtual uint32_t GetOutputCount() = 0;
    // Queues the change and returns at once; false while I/O is stopping or stopped.
    virtual bool ChangeOutputState(uint32_t index, uint32_t state) = 0;
};

}  // namespace ipcapture
}  // namespace talvik

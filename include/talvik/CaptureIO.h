// Digital inputs and outputs of one device, as the host sees them. The module
// polls the inputs every 2 s on an input thread and writes output changes on
// an output thread, so no call here waits for the camera.
//
// Slot-order rule: the host and the module call by slot position, so the
// virtual destructor comes first, then the operations in the order declared
// here; they are never reordered or removed, only appended.
#pragma once

#include <cstdint>

#include "talvik/Abi.h"

namespace talvik {

// Implemented and owned by the host; must stay valid until StopIO returns
// (or the driver is closed). Called on the module's I/O threads, never on the
// host's, and must not call StopIO from inside.
class ICaptureIOCallback {
public:
    TALVIK_DESTRUCTOR_SLOT(ICaptureIOCallback);
    // An input (from 0) changed to newState: 1 inactive, 2 active. On the
    // input thread; the first poll right after StartIO reports every input.
    virtual void OnInputStateChanged(uint32_t inputIndex, uint32_t newState) = 0;
    // A camera read or write failed (on the input or output thread); every
    // known state was forgotten, so the next poll reports every input again.
    virtual void OnIOFailure() = 0;
    TALVIK_DESTRUCTOR_TAIL(ICaptureIOCallback);
};

namespace ipcapture {

// Returned by the driver's GetDigitalIO; owned by the driver (valid until
// Close), never deleted by the host. States: 1 inactive, 2 active. Called from
// one controlling host thread (SetCallback, StartIO and StopIO are not
// serialised against each other); ChangeOutputState from any host thread.
class ICaptureIOApi {
public:
    // The driver destroys the object.
    TALVIK_DESTRUCTOR_SLOT(ICaptureIOApi);
    // Sets where input changes and failures go (the host's object); false for null.
    virtual bool SetCallback(ICaptureIOCallback* callback) = 0;
    // Forgets all states, starts polling the inputs (the first poll at once)
    // and drives every output inactive; no thread for a device without inputs
    // or outputs. False when a thread could not start.
    virtual bool StartIO() = 0;
    // Cuts short the camera request in progress, drops queued output changes,
    // stops both threads and forgets all states; no callback arrives after it
    // returns. StartIO may follow. False when called on an I/O thread.
    virtual bool StopIO() = 0;
    // Input and output counts of the device, as the host gave them in Open.
    virtual uint32_t GetInputCount() = 0;
    virtual uint32_t GetOutputCount() = 0;
    // Queues setting output index (from 0) to state and returns at once; the
    // camera is written only when the state differs from the known one.
    // False from StopIO until the next StartIO (the request is dropped); a
    // request before the first StartIO waits for it.
    virtual bool ChangeOutputState(uint32_t index, uint32_t state) = 0;
    TALVIK_DESTRUCTOR_TAIL(ICaptureIOApi);
};

}  // namespace ipcapture
}  // namespace talvik

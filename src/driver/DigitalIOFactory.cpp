#include "driver/DigitalIOFactory.h"

namespace talvik {

// The I/O engine is not part of the module yet: devices open without digital
// I/O. With it, these become `return new (std::nothrow)
// CArecontDigitalIO(driver);` and `delete` of the object (its destructor stops
// its threads), and CArecontIPCaptureDriver::CreateDigitalIO reports a failed
// allocation.
ipcapture::ICaptureIOApi* CreateArecontDigitalIO(IDriver*) {
    return nullptr;
}

void DestroyDigitalIO(ipcapture::ICaptureIOApi*) {}

}  // namespace talvik

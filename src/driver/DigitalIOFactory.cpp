#include "driver/DigitalIOFactory.h"

namespace talvik {

// The I/O engine is not part of the module yet: devices open without digital I/O.
ipcapture::ICaptureIOApi* CreateArecontDigitalIO(IDriver*) {
    return nullptr;
}

void DestroyDigitalIO(ipcapture::ICaptureIOApi*) {}

}  // namespace talvik

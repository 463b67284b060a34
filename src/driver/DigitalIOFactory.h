// The seam between the driver and the digital I/O engine, so that the driver
// does not depend on the I/O classes.
#pragma once

#include "base/Driver.h"

namespace talvik {
namespace ipcapture {
class ICaptureIOApi;
}

// The device's digital I/O object bound to driver; null when the engine is
// not available or out of memory.
ipcapture::ICaptureIOApi* CreateArecontDigitalIO(IDriver* driver);
// Stops and destroys an object from CreateArecontDigitalIO; null is ignored.
void DestroyDigitalIO(ipcapture::ICaptureIOApi* io);

}  // namespace talvik

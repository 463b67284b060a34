#include "driver/DigitalIOFactory.h"

#include <new>

#include "ThreadCancel.h"
#include "io/ArecontDigitalIO.h"

namespace talvik {

ipcapture::ICaptureIOApi* CreateArecontDigitalIO(IDriver* driver) {
    try {
        return new (std::nothrow) CArecontDigitalIO(driver);
    } catch (...) {
        RethrowThreadCancellation();
        return nullptr;
    }
}

void DestroyDigitalIO(ipcapture::ICaptureIOApi* io) {
    // The destructor cancels the camera requests and ends both threads.
    delete io;
}

}  // namespace talvik

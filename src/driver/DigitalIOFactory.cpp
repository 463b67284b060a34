#include "driver/DigitalIOFactory.h"

#include <memory>
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
    // The driver owns the I/O object; an input thread that outlives the stop
    // takes a share, and the last share deletes it. The destructor cancels
    // the camera requests and ends both threads (a no-op by then).
    auto* engine = dynamic_cast<CIOBase*>(io);
    if (engine == nullptr) {
        delete io;
        return;
    }
    const std::shared_ptr<CIOBase> shared(engine);
    shared->Retire(shared);
}

}  // namespace talvik

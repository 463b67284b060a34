// The module's driver factories. Kept free of templates and inline library
// code so that nothing but these twelve functions is exported.
#include "talvik/DriverExports.h"

#include <new>

#include "ThreadCancel.h"
#include "driver/ArecontIPCaptureDriver.h"

using talvik::CArecontIPCaptureDriver;
namespace ip = talvik::ipcapture;

namespace {

ip::IIPCaptureDriverEx5* NewDriver() {
    // The constructor only reads the host directory and version; out of memory is
    // the one failure, reported to the host as null.
    try {
        return new (std::nothrow) CArecontIPCaptureDriver();
    } catch (...) {
        talvik::RethrowThreadCancellation();
        return nullptr;
    }
}

void DeleteDriver(ip::IIPCaptureDriver* driver) {
    // Slot 0 with deletion: the object frees itself with the module's heap.
    talvik::DeleteThroughSlot0(driver);
}

}  // namespace

TALVIK_DRIVER_EXPORT ip::IIPCaptureDriver* CreateIPCapture() {
    return NewDriver();
}
TALVIK_DRIVER_EXPORT ip::IIPCaptureDriverEx* CreateIPCaptureEx() {
    return NewDriver();
}
TALVIK_DRIVER_EXPORT ip::IIPCaptureDriverEx2* CreateIPCaptureEx2() {
    return NewDriver();
}
TALVIK_DRIVER_EXPORT ip::IIPCaptureDriverEx3* CreateIPCaptureEx3() {
    return NewDriver();
}
TALVIK_DRIVER_EXPORT ip::IIPCaptureDriverEx4* CreateIPCaptureEx4() {
    return NewDriver();
}
TALVIK_DRIVER_EXPORT ip::IIPCaptureDriverEx5* CreateIPCaptureEx5() {
    return NewDriver();
}

TALVIK_DRIVER_EXPORT void DeleteIPCapture(ip::IIPCaptureDriver* driver) {
    DeleteDriver(driver);
}
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx(ip::IIPCaptureDriverEx* driver) {
    DeleteDriver(driver);
}
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx2(ip::IIPCaptureDriverEx2* driver) {
    DeleteDriver(driver);
}
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx3(ip::IIPCaptureDriverEx3* driver) {
    DeleteDriver(driver);
}
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx4(ip::IIPCaptureDriverEx4* driver) {
    DeleteDriver(driver);
}
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx5(ip::IIPCaptureDriverEx5* driver) {
    DeleteDriver(driver);
}

// The module's exported driver factories (C linkage). A host loads the module
// with dlopen and resolves these by name. Each Create returns a new driver
// (null when out of memory) usable as the named interface version and every
// older one; the host owns it until it hands it to a Delete export, which
// frees it with the module's own heap (null is ignored). All six factories
// build the same object; the suffix only tells which version the host uses.
// Any host thread may call them; loading the module starts no thread.
#pragma once

#include "talvik/IPCaptureDriver.h"

#if defined(_WIN32)
#define TALVIK_DRIVER_EXPORT extern "C" __declspec(dllexport)
#else
#define TALVIK_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

TALVIK_DRIVER_EXPORT talvik::ipcapture::IIPCaptureDriver* CreateIPCapture();
TALVIK_DRIVER_EXPORT talvik::ipcapture::IIPCaptureDriverEx* CreateIPCaptureEx();
TALVIK_DRIVER_EXPORT talvik::ipcapture::IIPCaptureDriverEx2* CreateIPCaptureEx2();
TALVIK_DRIVER_EXPORT talvik::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx3();
TALVIK_DRIVER_EXPORT talvik::ipcapture::IIPCaptureDriverEx4* CreateIPCaptureEx4();
TALVIK_DRIVER_EXPORT talvik::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx5();

TALVIK_DRIVER_EXPORT void DeleteIPCapture(talvik::ipcapture::IIPCaptureDriver* driver);
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx(talvik::ipcapture::IIPCaptureDriverEx* driver);
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx2(talvik::ipcapture::IIPCaptureDriverEx2* driver);
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx3(talvik::ipcapture::IIPCaptureDriverEx3* driver);
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx4(talvik::ipcapture::IIPCaptureDriverEx4* driver);
TALVIK_DRIVER_EXPORT void DeleteIPCaptureEx5(talvik::ipcapture::IIPCaptureDriverEx5* driver);

namespace talvik {
namespace ipcapture {

// Pointer types for resolving the exports with dlsym. Every factory's result
// can be treated as IIPCaptureDriver* (single inheritance, same address).
using CreateIPCaptureFn = IIPCaptureDriver* (*)();
using DeleteIPCaptureFn = void (*)(IIPCaptureDriver*);

}  // namespace ipcapture
}  // namespace talvik

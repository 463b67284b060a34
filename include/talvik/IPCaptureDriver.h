// The driver object: one per device, created by an exported factory
// (DriverExports.h) and deleted by the matching delete export. The host calls
// it from its own threads; Open and Close are not called concurrently.
//
// Slot-order rule: the host calls by slot position, so operations are never
// reordered or removed; a new version only appends (Ex, Ex2, ...). Reserved
// positions return null and a host must accept that.
#pragma once

#include <cstdint>

#include "talvik/Abi.h"
#include "talvik/DebugSink.h"
#include "talvik/HostDevice.h"
#include "talvik/HostFrame.h"
#include "talvik/IPVideoCapture.h"

namespace talvik {
namespace ipcapture {

// The digital I/O interface of a device (declared with the I/O engine).
class ICaptureIOApi;

// Slot counts: IIPCaptureDriver 5, Ex 7, Ex2 9, Ex3 10, Ex4 12, Ex5 13.
class IIPCaptureDriver {
public:
    // Slot 0: deletion through the delete export; closes whatever is open.
    TALVIK_VERSIONED_DESTRUCTOR_SLOT(IIPCaptureDriver);
    // Slot 1: reads the device description and its numbered parameters,
    // creates the video capture and digital I/O objects and logs the
    // driver-opened notice. sink receives every diagnostic line from any module
    // thread; allocator supplies the frames of every stream. Both are the
    // host's and must outlive the driver's Close; device is read during the
    // call only. False on failure (call Close or delete anyway).
    virtual bool Open(IHostDebugSink* sink, IHostFrameAllocator* allocator,
                      IHostDevice* device) = 0;
    // Slot 2: stops every stream and the I/O, waits for the module's threads
    // (no callback arrives after it returns) and destroys both objects.
    virtual void Close() = 0;
    // Slot 3: the video capture object (owned by the driver), null before Open.
    virtual IIPVideoCapture* GetVideoCapture() = 0;
    // Slot 4: the digital I/O object (owned by the driver, valid until Close),
    // or null before Open.
    virtual ICaptureIOApi* GetDigitalIO() = 0;
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
public:
    TALVIK_OLDER_VERSION(IIPCaptureDriverEx);
    virtual void* ReservedEx() = 0;    // slot 5: always null
    virtual void* GetAuxiliary() = 0;  // slot 6: always null with this driver
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
public:
    TALVIK_OLDER_VERSION(IIPCaptureDriverEx2);
    virtual void* ReservedEx2() = 0;  // slot 7: always null
    // Slot 8: the same video capture object as slot 3.
    virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
public:
    TALVIK_OLDER_VERSION(IIPCaptureDriverEx3);
    virtual void* GetAuxiliaryEx() = 0;  // slot 9: always null with this driver
};

class IIPCaptureDriverEx4 : public IIPCaptureDriverEx3 {
public:
    TALVIK_OLDER_VERSION(IIPCaptureDriverEx4);
    virtual void* ReservedEx4A() = 0;  // slot 10: always null
    virtual void* ReservedEx4B() = 0;  // slot 11: always null
};

class IIPCaptureDriverEx5 : public IIPCaptureDriverEx4 {
public:
    // Slot 12: the same video capture object as slot 3.
    virtual IIPVideoCaptureEx2* GetVideoCaptureEx2() = 0;
    TALVIK_NEWEST_VERSION_TAIL(IIPCaptureDriverEx5);
};

}  // namespace ipcapture
}  // namespace talvik

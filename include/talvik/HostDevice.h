// The host's description of one device, handed to IIPCaptureDriver::Open.
//
// Slot-order rule for every host-facing interface: the host and the module
// call each other by slot position, so operations are never reordered or
// removed; new ones are only appended. Positions the module does not call
// still hold a declared placeholder so that later positions keep their place.
// Slot 0 is the destructor, one table entry as an MSVC host counts them
// (talvik/Abi.h); slot numbers below count from it.
//
// All three objects are owned by the host and must stay valid for the
// duration of Open; the module copies what it needs and keeps no pointer.
#pragma once

#include <cstdint>

#include "talvik/Abi.h"

namespace talvik {

// Model and counts of the device.
class IHostCameraInfo {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostCameraInfo);
    virtual uint32_t ReservedCamera1() { return 0; }  // slot 1, not called
    // Slot 2: model name as the host knows it (zero-terminated; null reads as empty).
    virtual const char* GetModel() = 0;
    // Slot 3: number of video inputs (sensors of a multi-sensor camera).
    virtual uint32_t GetVideoInputCount() = 0;
    virtual uint32_t ReservedCamera4() { return 0; }  // slot 4, not called
    // Slots 5 and 6: digital input and output counts.
    virtual uint32_t GetDigitalInputCount() = 0;
    virtual uint32_t GetDigitalOutputCount() = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostCameraInfo);
};

// How to reach the device.
class IHostConnectionInfo {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostConnectionInfo);
    // Slot 1: host name or IP address (zero-terminated; null reads as empty).
    virtual const char* GetAddress() = 0;
    // Slot 2: HTTP port; 443 selects HTTPS.
    virtual uint16_t GetPort() = 0;
    virtual uint32_t ReservedConnection3() { return 0; }  // slot 3, not called
    // Slot 4: codec used when a stream asks for none (1 JPEG, 3 H.264).
    virtual uint32_t GetDefaultCodec() = 0;
    // Slots 5 and 6: credentials; an empty user name means none.
    virtual const char* GetUserName() = 0;
    virtual const char* GetPassword() = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostConnectionInfo);
};

// The device as a whole. Called on the host's thread inside Open only.
class IHostDevice {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostDevice);
    // Slots 1 and 2: the sub-objects above (owned by the host).
    virtual IHostCameraInfo* GetCameraInfo() = 0;
    virtual IHostConnectionInfo* GetConnectionInfo() = 0;
    virtual uint32_t ReservedDevice3() { return 0; }  // slot 3, not called
    // Slot 4: text of numbered parameter n (1, 2, 3, ...), or null when there
    // is no such parameter. The module asks for 1, 2, 3, ... until the first
    // null, so numbers must be dense from 1. "(none)" reads as empty.
    virtual const char* GetParameter(uint32_t n) = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostDevice);
};

}  // namespace talvik

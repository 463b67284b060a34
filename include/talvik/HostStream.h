// The host's settings for one stream, handed to the start operations of
// IIPVideoCapture. Owned by the host; read during the call only, on the
// host's calling thread. Slot-order rule: see HostDevice.h (never reorder,
// only append).
#pragma once

#include <cstdint>

#include "talvik/Abi.h"

namespace talvik {

// Picture size; each value is used as 16 bits.
class IHostFrameSize {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostFrameSize);
    virtual uint32_t GetWidth() = 0;   // slot 1
    virtual uint32_t GetHeight() = 0;  // slot 2
    TALVIK_DESTRUCTOR_TAIL(IHostFrameSize);
};

class IHostStreamFormat {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostStreamFormat);
    virtual uint32_t ReservedFormat1() { return 0; }  // slots 1 and 2, not called
    virtual uint32_t ReservedFormat2() { return 0; }
    // Slot 3: picture size (owned by the host).
    virtual IHostFrameSize* GetSize() = 0;
    // Slot 4: codec: 0 or 16 the driver's default, 1 JPEG, 3 H.264.
    virtual uint32_t GetCodec() = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostStreamFormat);
};

class IHostFrameRate {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostFrameRate);
    // Slot 1: time between frames, 16 bits. For StartVideo the top two bits
    // give the unit (0 ms, 1 s, 2 min, 3 h) and the low 14 bits the count,
    // so 0x4005 is 5 s; StartStream reads the same value as plain ms.
    virtual uint32_t GetFrameInterval() = 0;
    virtual uint32_t ReservedRate2() { return 0; }  // slot 2, not called
    // Slot 3: quality 1 to 100 (16 bits).
    virtual uint32_t GetQuality() = 0;
    // Slot 4: non-zero asks StartVideo for an auxiliary channel as well.
    virtual uint32_t GetAuxiliaryRequested() = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostFrameRate);
};

class IHostStreamSettings {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostStreamSettings);
    // Slots 1 and 2: format and rate (owned by the host).
    virtual IHostStreamFormat* GetFormat() = 0;
    virtual IHostFrameRate* GetRate() = 0;
    virtual uint32_t ReservedSettings3() { return 0; }  // slots 3 and 4, not called
    virtual uint32_t ReservedSettings4() { return 0; }
    // Slot 5: a host option handed to the channel (ignored by this module).
    virtual uint32_t GetHostOption() = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostStreamSettings);
};

}  // namespace talvik

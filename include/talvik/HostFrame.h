// The frame contract between the module and the host: the host supplies frame
// objects through an allocator, the module fills them and hands them to the
// host's frame sink. Slot-order rule: see HostDevice.h (never reorder, only
// append).
#pragma once

#include <cstdint>

#include "talvik/Abi.h"

namespace talvik {

// Broken-down UTC time (the fields of a Windows SYSTEMTIME).
struct HostSystemTime {
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 = Sunday
    uint16_t day = 0;        // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

// Four-character codes, first character in the lowest byte.
constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
constexpr uint32_t kFourCCJpeg = MakeFourCC('J', 'P', 'E', 'G');  // one JPEG picture
// An H.264 access unit with a parsable sequence parameter set...
constexpr uint32_t kFourCCH264 = MakeFourCC('H', '2', '6', '4');
// ...and any other H.264 access unit.
constexpr uint32_t kFourCCI264 = MakeFourCC('I', '2', '6', '4');

// One frame, created by the host's allocator and filled by the module on one
// module thread. The host owns it; the module gives it back through
// IHostFrameAllocator::ReleaseFrame after every delivery attempt.
class IHostFrame {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostFrame);
    // Slot 1: capacity of the payload buffer in bytes.
    virtual uint32_t GetBufferSize() = 0;
    // Slot 2: the payload buffer, at least the size asked for in CreateFrame.
    virtual uint8_t* GetBuffer() = 0;
    // Slot 3: bytes of payload set so far.
    virtual uint32_t GetDataSize() = 0;
    // Slot 4: bytes of payload actually written.
    virtual void SetDataSize(uint32_t size) = 0;
    // Slot 5: stamp the frame with the host's current time (HTTP streams).
    virtual void StampFrame() = 0;
    // Slots 6 and 7: capture time in UTC (RTP streams set it from the camera's clock).
    virtual void SetTime(const HostSystemTime* time) = 0;
    virtual void GetTime(HostSystemTime* time) = 0;
    virtual uint32_t ReservedFrame8() { return 0; }  // slot 8, not called
    // Slots 9 and 10: four-character code (kFourCCJpeg, kFourCCH264, kFourCCI264).
    virtual uint32_t GetFourCC() = 0;
    virtual void SetFourCC(uint32_t fourcc) = 0;
    // Slots 11 to 14: picture size in pixels.
    virtual uint32_t GetHeight() = 0;
    virtual void SetHeight(uint32_t height) = 0;
    virtual uint32_t GetWidth() = 0;
    virtual void SetWidth(uint32_t width) = 0;
    // Slots 15 and 16: resolution class 1 (smallest) to 4.
    virtual uint32_t GetResolutionClass() = 0;
    virtual void SetResolutionClass(uint32_t resolutionClass) = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostFrame);
};

// The host's source of frames; the "host context" given to Open. Called from
// any module thread, possibly several at once.
class IHostFrameAllocator {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostFrameAllocator);
    virtual uint32_t ReservedAllocator1() { return 0; }  // slot 1, not called
    // Slot 2: a new frame with a buffer of `size` bytes for the stream named
    // streamName (driver name followed by "::RecStream", "::LiveStream" or
    // "::RemoteStream"); null when the host has none to give.
    virtual IHostFrame* CreateFrame(uint32_t fourcc, uint32_t size, const char* streamName) = 0;
    virtual uint32_t ReservedAllocator3() { return 0; }  // slots 3 to 5, not called
    virtual uint32_t ReservedAllocator4() { return 0; }
    virtual uint32_t ReservedAllocator5() { return 0; }
    // Slot 6: gives a frame from CreateFrame back, whether or not it was delivered.
    virtual void ReleaseFrame(IHostFrame* frame) = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostFrameAllocator);
};

// Where one stream's frames go; given with each start. Called on the module
// thread that delivers the stream (never two at once for one stream).
class IHostFrameSink {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostFrameSink);
    // Slot 1: a filled frame, valid during the call only; false when the host
    // did not accept it.
    virtual bool OnFrame(IHostFrame* frame) = 0;
    virtual uint32_t ReservedSink2() { return 0; }  // slot 2, not called
    // Slot 3: the stream has lost its signal; the module keeps reconnecting.
    virtual void OnSignalLost() = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostFrameSink);
};

// Optional observer of frame times per video input. Called on the delivering
// module thread. No host-facing operation registers one with this driver, so
// a host never receives these calls; declared to keep the layout known.
class IFrameTimeListener {
public:
    TALVIK_DESTRUCTOR_SLOT(IFrameTimeListener);
    // Slot 1: a frame of the input was delivered; time in 100-ns units since
    // 1601-01-01 UTC.
    virtual void OnFrameTime(uint32_t videoInput, uint64_t time) = 0;
    // Slot 2: the input's signal was lost.
    virtual void OnListenerSignalLost(uint32_t videoInput) = 0;
    TALVIK_DESTRUCTOR_TAIL(IFrameTimeListener);
};

}  // namespace talvik

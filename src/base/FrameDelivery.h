// The one way a parser hands a picture to the host: a frame from the host's
// allocator, checked, filled, delivered and always given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "talvik/HostFrame.h"

namespace talvik {

struct FrameFields {
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t resolutionClass = 0;
    const HostSystemTime* time = nullptr;  // null: the host stamps the frame
    bool bytesFirst = false;               // copy the bytes before the fields are set
};

enum class FrameOutcome {
    kNoFrame,     // no allocator, no data, or the host gave no frame
    kCopyFailed,  // the frame's buffer cannot hold the bytes; nothing was delivered
    kRefused,     // deliver returned false
    kDelivered,
    kFailed,  // the host's code threw; the frame was given back
};

// Asks the allocator for a frame of size bytes named streamName, fills it
// with data and fields, hands it to deliver and gives it back whatever
// happens. Nothing the host throws leaves here, except a thread's
// cancellation (after the frame is given back).
FrameOutcome DeliverHostFrame(IHostFrameAllocator* allocator, const char* streamName,
                              const uint8_t* data, size_t size, const FrameFields& fields,
                              const std::function<bool(IHostFrame*)>& deliver);

}  // namespace talvik

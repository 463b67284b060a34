// Feeds packet sequences to the H.264 depacketiser. Input: records of
// [flags(1) len(2 BE) payload(len)]; flags bit 0 = marker, bit 1 = skip a
// sequence number, bits 2-3 pick one of four payload types.
#include <cstddef>
#include <cstdint>

#include "rtsp/H264Depacketizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    talvik::CH264Depacketizer depacketizer({[](uint16_t, uint16_t) {}, [] {}, {}});
    // Type 97 has a PPS but no SPS, as some session descriptions give.
    depacketizer.SetParameterSets(
        {{96, {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x3d, 0xa1}, {0x68, 0xce, 0x3c, 0x80}},
         {97, {}, {0x68, 0xce, 0x3c, 0x80}}});
    depacketizer.SetDefaultResolution(640, 360);
    uint16_t sequence = 0;
    size_t pos = 0;
    while (size - pos >= 3) {
        const uint8_t flags = data[pos];
        size_t len = static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2];
        pos += 3;
        if (len > size - pos) len = size - pos;
        sequence = static_cast<uint16_t>(sequence + ((flags & 2) ? 2 : 1));
        const uint8_t pt = static_cast<uint8_t>(96 + ((flags >> 2) & 3));
        if (depacketizer.Process(sequence, flags & 1, pt, data + pos, len) ==
            talvik::CH264Depacketizer::Result::kFrameReady) {
            const auto& frame = depacketizer.Frame();
            if (frame.size() < 5 || frame[frame.size() - 2] != 0x09) __builtin_trap();
        }
        pos += len;
    }
    return 0;
}

// Picture size from the H.264 sequence parameter set (ITU-T H.264 7.3.2.1.1)
// at the front of an access unit. Both H.264 parsers use it to size frames and
// to recognise access units a decoder can start from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvik {

// No H.264 level allows a picture wider or taller than this; a camera that
// reports more sends malformed data.
constexpr uint32_t kMaxPictureSide = 16384;

// The Annex B start code, and the access unit delimiters (NAL unit type 9)
// that close a frame: primary_pic_type 0 (I slices only) and 1 (I and P).
inline constexpr uint8_t kH264StartCode[] = {0x00, 0x00, 0x01};
inline constexpr uint8_t kH264DelimiterIntra[] = {0x00, 0x00, 0x01, 0x09, 0x10};
inline constexpr uint8_t kH264DelimiterIntraOrP[] = {0x00, 0x00, 0x01, 0x09, 0x30};

// MSB-first bit reader over a byte range. Bits past the end read as 1 (so
// Exp-Golomb codes end) and mark the reader as overrun.
class CBitReader {
public:
    CBitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint32_t ReadBit();
    uint32_t ReadBits(unsigned count);  // count up to 32
    // Exp-Golomb codes; a code longer than 32 bits marks the reader invalid.
    uint32_t ReadUe();
    int64_t ReadSe();

    // True once a read went past the end or met an impossible code.
    bool Failed() const { return failed_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;  // byte
    unsigned bit_ = 0;     // bit within the byte, 0 = most significant
    bool failed_ = false;
};

enum class SpsSize {
    kDecoded,
    kNone,       // no SPS, cut short, or no picture left after cropping
    kOversized,  // width or height beyond kMaxPictureSide
};

// Finds the sequence parameter set whose start code (00 00 01) begins within
// the first 64 bytes of an Annex B access unit and decodes its cropped picture
// size. width and height are the decoded size also when it is oversized (for
// the message), else 0 unless decoded.
SpsSize ReadSpsSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

}  // namespace talvik

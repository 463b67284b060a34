#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media/SpsReader.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;

// Sequence parameter sets (NAL header included) cut from encoder output with
//   ffmpeg ... -f h264 OUT.h264 / gst-launch-1.0 ... ! filesink location=OUT.h264
// and checked against ffprobe's width and height.

// ffmpeg -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 1 -pix_fmt yuv420p -c:v libx264
//   -f h264 hd.h264   (High, 1920x1088 with bottom crop 4; emulation byte in the VUI)
const Bytes kHd1080 = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02,
                       0x27, 0xe5, 0xc0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                       0x00, 0x00, 0x03, 0x00, 0xc8, 0x3c, 0x60, 0xc6, 0x58};
const Bytes kHd1080Pps = {0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};

// ffmpeg -f lavfi -i testsrc=size=2592x1944:rate=10 -frames:v 1 -pix_fmt yuv420p -c:v libx264
//   -profile:v baseline -f h264 5mp.h264   (Constrained Baseline)
const Bytes k5mp = {0x67, 0x42, 0xc0, 0x32, 0xd9, 0x00, 0x28, 0x80, 0xf5, 0xf9, 0x70, 0x11, 0x00,
                    0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x14, 0x0f, 0x18, 0x32, 0x48};

// ffmpeg -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 1 -pix_fmt yuv420p -c:v libx264
//   -x264-params interlaced=1:tff=1 -f h264 tff.h264
//   (34 field map units, bottom crop 2 in units of 4 lines)
const Bytes kInterlaced1080 = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x04,
                               0x4f, 0xde, 0x02, 0x20, 0x00, 0x00, 0x03, 0x00, 0x20,
                               0x00, 0x00, 0x06, 0x43, 0xe2, 0xc5, 0xb2, 0xc0};

// x264 writes its matrices into the PPS, so this one is the SPS of
//   ffmpeg -f lavfi -i testsrc=size=1280x720:rate=25 -frames:v 1 -pix_fmt yuv420p -c:v libx264
//     -x264-params cqm=jvt -f h264 jvt.h264
// with a matrix put into the SPS by
//   tests/media/rewrite_sps.py jvt.h264 scaling.h264 scaling
// (4x4 list of 16 explicit deltas, a default-matrix flag, an 8x8 list ended
// early, a full 8x8 list; ffprobe: 1280x720).
const Bytes kHighScalingMatrix720 = {
    0x67, 0x64, 0x00, 0x1f, 0xad, 0x80, 0x40, 0x40, 0x20, 0x20, 0x10, 0x10, 0x08, 0x08, 0x04,
    0x04, 0x02, 0x02, 0x01, 0x01, 0x00, 0x80, 0x80, 0x40, 0x40, 0x20, 0x20, 0x10, 0x10, 0x08,
    0x08, 0x04, 0x04, 0x02, 0x02, 0x01, 0x01, 0x00, 0x80, 0xa1, 0x11, 0x44, 0x30, 0x81, 0x43,
    0x07, 0x04, 0x02, 0x41, 0x40, 0x3f, 0xca, 0x91, 0x52, 0x2a, 0x45, 0x48, 0xa9, 0x15, 0x22,
    0xa4, 0x54, 0x8a, 0x91, 0x52, 0x2a, 0x45, 0x48, 0xa9, 0x15, 0x22, 0xa4, 0x54, 0x8a, 0x91,
    0x52, 0x2a, 0x45, 0x48, 0xa9, 0x17, 0x65, 0x01, 0x40, 0x16, 0xec, 0x04, 0x40, 0x00, 0x00,
    0x03, 0x00, 0x40, 0x00, 0x00, 0x0c, 0x83, 0xc6, 0x0c, 0x65, 0x80};

// The 5mp SPS above rewritten to picture order type 1 with offsets of 2^22 by
//   tests/media/rewrite_sps.py 5mp.h264 poc1.h264 poc1
// Its long zero runs put an emulation-prevention byte (offset 16) before the
// picture size (ffmpeg trace_headers: 162x122 macroblocks, bottom crop 4).
const Bytes kEmulationBeforeSize = {
    0x67, 0x42, 0xc0, 0x32, 0xd0, 0x00, 0x00, 0x04, 0x00, 0x00, 0x08, 0x00, 0x00, 0x04, 0x00, 0x00,
    0x03, 0x01, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00, 0x29, 0x00, 0x28, 0x80, 0xf5, 0xf9, 0x70, 0x11,
    0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x14, 0x0f, 0x18, 0x32, 0x48};

// ffmpeg -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 1 -pix_fmt yuv444p -c:v libx264
//   -f h264 444.h264   (High 4:4:4, bottom crop 8 in single lines)
const Bytes kHigh444 = {0x67, 0xf4, 0x00, 0x28, 0x91, 0x9b, 0x28, 0x0f, 0x00,
                        0x44, 0xfc, 0x4e, 0x02, 0x20, 0x00, 0x00, 0x03, 0x00,
                        0x20, 0x00, 0x00, 0x06, 0x41, 0xe3, 0x06, 0x32, 0xc0};

// ffmpeg -f lavfi -i testsrc=size=1366x768:rate=25 -frames:v 1 -pix_fmt yuv420p -c:v libx264
//   -f h264 1366.h264   (right crop 5)
const Bytes kRightCrop1366 = {0x67, 0x64, 0x00, 0x20, 0xac, 0xd9, 0x40, 0x56, 0x06,
                              0x1e, 0x6f, 0x01, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10,
                              0x00, 0x00, 0x03, 0x03, 0x20, 0xf1, 0x83, 0x19, 0x60};

// The 444 SPS above with a matrix of twelve lists (4:4:4 adds the chroma 8x8
// lists) by   tests/media/rewrite_sps.py 444.h264 scaling444.h264 scaling
// (ffprobe: 1920x1080).
const Bytes kHigh444ScalingMatrix = {
    0x67, 0xf4, 0x00, 0x28, 0x91, 0xb0, 0x08, 0x08, 0x04, 0x04, 0x02, 0x02, 0x01, 0x01, 0x00,
    0x80, 0x80, 0x40, 0x40, 0x20, 0x20, 0x10, 0x10, 0x08, 0x08, 0x04, 0x04, 0x02, 0x02, 0x01,
    0x01, 0x00, 0x80, 0x80, 0x40, 0x40, 0x20, 0x20, 0x10, 0x14, 0x22, 0x28, 0x86, 0x10, 0x28,
    0x60, 0xe0, 0x80, 0x48, 0x28, 0x07, 0xf9, 0x52, 0x2a, 0x45, 0x48, 0xa9, 0x15, 0x22, 0xa4,
    0x54, 0x8a, 0x91, 0x52, 0x2a, 0x45, 0x48, 0xa9, 0x15, 0x22, 0xa4, 0x54, 0x8a, 0x91, 0x52,
    0x2a, 0x45, 0x48, 0xa9, 0x15, 0x22, 0x86, 0xca, 0x03, 0xc0, 0x11, 0x3f, 0x13, 0x80, 0x88,
    0x00, 0x00, 0x03, 0x00, 0x08, 0x00, 0x00, 0x03, 0x01, 0x90, 0x78, 0xc1, 0x8c, 0xb0};

// Hand-built Baseline SPS of one macroblock (16x16) with a right crop of 7 or 8.
const Bytes kCropTo2 = {0x67, 0x42, 0xc0, 0x1e, 0xda, 0x7e, 0x23, 0x40};
const Bytes kCropToNothing = {0x67, 0x42, 0xc0, 0x1e, 0xda, 0x7e, 0x27, 0x40};

Bytes AccessUnit(std::initializer_list<Bytes> nals) {
    Bytes au;
    for (const Bytes& nal : nals) {
        au.insert(au.end(), {0x00, 0x00, 0x00, 0x01});
        au.insert(au.end(), nal.begin(), nal.end());
    }
    return au;
}

Bytes Prefix(const Bytes& bytes, size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + size);
}

struct SpsCase {
    const char* name;
    Bytes accessUnit;
    bool ok;
    uint32_t width;
    uint32_t height;
};

void PrintTo(const SpsCase& c, std::ostream* os) {
    *os << c.name;
}

class SpsSizes : public ::testing::TestWithParam<SpsCase> {};

TEST_P(SpsSizes, DecodesCroppedPictureSize) {
    const Bytes& au = GetParam().accessUnit;
    uint32_t width = 1;
    uint32_t height = 1;
    EXPECT_EQ(DecodeSpsSize(au.data(), au.size(), width, height), GetParam().ok);
    EXPECT_EQ(width, GetParam().width);
    EXPECT_EQ(height, GetParam().height);
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, SpsSizes,
    ::testing::Values(
        SpsCase{"Hd1080BottomCrop", AccessUnit({kHd1080, kHd1080Pps}), true, 1920, 1080},
        SpsCase{"Baseline2592x1944", AccessUnit({k5mp}), true, 2592, 1944},
        SpsCase{"InterlacedCropCountsFieldPairs", AccessUnit({kInterlaced1080}), true, 1920, 1080},
        SpsCase{"HighWithScalingMatrix", AccessUnit({kHighScalingMatrix720}), true, 1280, 720},
        SpsCase{"EmulationPreventionBeforeSize", AccessUnit({kEmulationBeforeSize}), true, 2592,
                1944},
        SpsCase{"High444CropInLines", AccessUnit({kHigh444}), true, 1920, 1080},
        SpsCase{"High444TwelveScalingLists", AccessUnit({kHigh444ScalingMatrix}), true, 1920, 1080},
        SpsCase{"RightCrop", AccessUnit({kRightCrop1366}), true, 1366, 768},
        SpsCase{"ThreeByteStartCode",
                Bytes{0x00, 0x00, 0x01, 0x67, 0x42, 0xc0, 0x1e, 0xda, 0x7e, 0x23, 0x40}, true, 2,
                16},
        SpsCase{"CropToNothingFails", AccessUnit({kCropToNothing}), false, 0, 0}),
    [](const ::testing::TestParamInfo<SpsCase>& info) { return info.param.name; });

Bytes Filler(size_t size) {
    return Bytes(size, 0xab);
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Framing, SpsSizes,
    ::testing::Values(
        SpsCase{"Empty", Bytes{}, false, 0, 0},
        SpsCase{"NoSps", AccessUnit({kHd1080Pps}), false, 0, 0},
        // The start code must begin within the first 64 bytes.
        SpsCase{"StartCodeAt63", Concat(Filler(63), Concat({0, 0, 1}, kCropTo2)), true, 2, 16},
        SpsCase{"StartCodeAt64", Concat(Filler(64), Concat({0, 0, 1}, kCropTo2)), false, 0, 0},
        SpsCase{"SpsAfterPps", AccessUnit({kHd1080Pps, k5mp}), true, 2592, 1944},
        SpsCase{"HeaderOnly", Bytes{0x00, 0x00, 0x01, 0x67}, false, 0, 0},
        // A cut SPS must not borrow the bits of the NAL unit that follows.
        SpsCase{"CutSpsFollowedByPps", AccessUnit({Prefix(kHd1080, 10), kHd1080Pps}), false, 0, 0}),
    [](const ::testing::TestParamInfo<SpsCase>& info) { return info.param.name; });

// Hand-built Baseline SPS of 1024x1024, 4096x4096, 1025x1 and 1x1025
// macroblocks (checked with ffmpeg's trace_headers): no H.264 level allows
// more than 16384 pixels on a side, so a larger size is malformed input.
INSTANTIATE_TEST_SUITE_P(
    Limits, SpsSizes,
    ::testing::Values(
        SpsCase{"Side16384Decodes",
                AccessUnit({{0x67, 0x42, 0xc0, 0x33, 0xf4, 0x00, 0x20, 0x00, 0x01, 0x00, 0x32}}),
                true, 16384, 16384},
        SpsCase{
            "Size65536x65536IsMalformed",
            AccessUnit({{0x67, 0x42, 0xc0, 0x33, 0xf4, 0x00, 0x08, 0x00, 0x00, 0x04, 0x00, 0x32}}),
            false, 0, 0},
        SpsCase{"Width16400IsMalformed",
                AccessUnit({{0x67, 0x42, 0xc0, 0x33, 0xf4, 0x00, 0x20, 0x0f, 0x20}}), false, 0, 0},
        SpsCase{"Height16400IsMalformed",
                AccessUnit({{0x67, 0x42, 0xc0, 0x33, 0xf4, 0x80, 0x10, 0x07, 0x20}}), false, 0, 0}),
    [](const ::testing::TestParamInfo<SpsCase>& info) { return info.param.name; });

TEST(SpsReader, EveryCutBeforeTheCropFieldsFails) {
    // The bottom crop offset of kHd1080 ends in its 11th byte.
    const Bytes au = AccessUnit({kHd1080});
    for (size_t size = 0; size <= au.size(); ++size) {
        uint32_t width = 0;
        uint32_t height = 0;
        EXPECT_EQ(DecodeSpsSize(au.data(), size, width, height), size >= 4 + 11) << size;
    }
}

TEST(SpsReader, NullData) {
    uint32_t width = 1;
    uint32_t height = 1;
    EXPECT_FALSE(DecodeSpsSize(nullptr, 16, width, height));
    EXPECT_EQ(width, 0u);
}

struct CodeCase {
    Bytes bits;
    uint32_t ue;
    bool failed;
};

TEST(BitReader, ExpGolombCodes) {
    const std::vector<CodeCase> cases = {
        {{0x80}, 0, false},                                                     // 1
        {{0x40}, 1, false},                                                     // 010
        {{0x60}, 2, false},                                                     // 011
        {{0x08, 0x00}, 15, false},                                              // 0000 1000 0
        {{0x00, 0x00, 0x00, 0x01, 0xff, 0xff, 0xff, 0xfe}, 0xfffffffe, false},  // 31 zeros
        {{0x00, 0x00, 0x00, 0x00, 0x80}, 0, true},  // 32 zeros: too long
        {{0x00}, 510, true},                        // past the end bits read as 1
        {{}, 0, true},
    };
    for (const CodeCase& c : cases) {
        CBitReader reader(c.bits.data(), c.bits.size());
        EXPECT_EQ(reader.ReadUe(), c.ue);
        EXPECT_EQ(reader.Failed(), c.failed);
    }
}

}  // namespace
}  // namespace talvik

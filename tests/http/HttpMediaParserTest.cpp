#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MediaRig.h"
#include "http/JpegAssembler.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using talvik_http_test::Bytes;
using talvik_http_test::Concat;
using talvik_http_test::MakeJpeg;
using talvik_http_test::Rig;
using talvik_http_test::Text;

// A 1080p key frame (SPS, PPS, slice) from x264.
const std::string kSeed = talvik::test::ReadFile(
    std::string(TALVIK_SOURCE_DIR) + "/fuzz/corpus/http_media_parser/h264_keyframe_1080");
const Bytes kSps1080(kSeed.begin() + (kSeed.empty() ? 0 : 1), kSeed.end());
const Bytes kAud = {0x00, 0x00, 0x01, 0x09, 0x30};

// The image buffer may hold exactly 10 485 760 bytes; one byte more drops the
// image with the overflow message naming the device, and the stream goes on.
// The exact limit is the assembler's (JpegAssemblerCap); here the overflow
// reaches the log with the device, and the stream goes on.
TEST(JpegMediaParser, OversizedImageIsLoggedAndDropped) {
    Rig rig;
    const Bytes big =
        MakeJpeg(1920, 1080, CJpegAssembler::kMaxImageBytes + 1 - talvik_http_test::kJpegOverhead);
    for (size_t at = 0; at < big.size(); at += 8192) {
        Bytes chunk(big.begin() + at, big.begin() + std::min(big.size(), at + 8192));
        rig.jpeg.ParseData(chunk);
    }
    const Bytes small = MakeJpeg(640, 480, 5);
    rig.Jpeg({small});
    ASSERT_EQ(rig.host.FrameCount(), 1u);
    EXPECT_EQ(rig.host.Frames()[0].bytes, small);
    EXPECT_EQ(rig.driver.log.Lines(),
              (std::vector<talvik_test::LogLine>{{1,
                                                  "talvik::CHttpMediaParser::CheckBufferSize Frame "
                                                  "buffer overflow detected, 10.1.1.7:8080"}}));
}

TEST(JpegMediaParser, NoAllocatorOrNoFrameDropsTheImage) {
    Rig rig;
    rig.driver.allocator = nullptr;
    rig.Jpeg({MakeJpeg(640, 480, 5)});
    EXPECT_EQ(rig.host.Created(), 0);
    rig.driver.allocator = &rig.host;
    rig.host.refuseCreate = true;
    rig.Jpeg({MakeJpeg(640, 480, 5)});
    rig.host.refuseCreate = false;
    rig.host.acceptFrames = false;
    rig.Jpeg({MakeJpeg(640, 480, 5)});
    EXPECT_EQ(rig.host.FrameCount(), 0u);
    EXPECT_EQ(rig.host.Created(), 1);
    EXPECT_EQ(rig.host.Released(), 1);  // given back even when refused
}

class ThrowingAllocator : public IHostFrameAllocator {
public:
    IHostFrame* CreateFrame(uint32_t, uint32_t, const char*) override { throw 42; }
    void ReleaseFrame(IHostFrame*) override {}
};

TEST(JpegMediaParser, ThrowingAllocatorIsLoggedAndTheStreamGoesOn) {
    Rig rig;
    ThrowingAllocator thrower;
    rig.driver.allocator = &thrower;
    rig.driver.device.port = 80;
    rig.Jpeg({MakeJpeg(640, 480, 5)});
    ASSERT_EQ(rig.driver.log.Lines().size(), 1u);
    EXPECT_EQ(rig.driver.log.Lines()[0].text,
              "talvik::CHttpMediaParser::DeliverFrame(): Unexpected exception, device "
              "10.1.1.7:80");
    rig.driver.allocator = &rig.host;
    rig.Jpeg({MakeJpeg(640, 480, 5)});
    EXPECT_EQ(rig.host.FrameCount(), 1u);
}

// A host frame whose buffer is smaller than the size asked for is neither
// written past its end nor delivered, on both parsers, as on the RTP path.
TEST(HttpMediaParser, FrameBufferShorterThanTheDataIsNotOverrun) {
    for (const bool jpeg : {true, false}) {
        Rig rig;
        rig.host.bufferShortBy = 1;
        Bytes chunk = jpeg ? MakeJpeg(640, 480, 5) : kSps1080;
        if (jpeg)
            rig.jpeg.ParseData(chunk);
        else
            rig.h264.ParseData(chunk);
        EXPECT_EQ(rig.host.FrameCount(), 0u) << jpeg;
        EXPECT_EQ(rig.host.Created(), 1) << jpeg;
        EXPECT_EQ(rig.host.Released(), 1) << jpeg;
        EXPECT_EQ(rig.driver.log.Lines(),
                  (std::vector<talvik_test::LogLine>{
                      {1,
                       "talvik::CHttpMediaParser::DeliverFrame: Data copying error, device "
                       "10.1.1.7:8080"}}))
            << jpeg;
    }
}

// The frame's fields and bytes are replayed from the http_media_parser seeds
// (CorpusReplayTest); read-only bytes give the same frame and stay as they were.
TEST(H264MediaParser, ReadOnlyBytesAreNotChanged) {
    Rig rig;
    const Bytes original = kSps1080;
    rig.h264.ParseBytes(original.data(), original.size());
    ASSERT_EQ(rig.host.FrameCount(), 1u);
    EXPECT_EQ(rig.host.Frames()[0].bytes, Concat({kSps1080, kAud}));
    EXPECT_EQ(original, kSps1080);
}

TEST(H264MediaParser, EmptyChunkNoAllocatorAndGarbageGiveNothing) {
    Rig rig;
    Bytes empty;
    rig.h264.ParseData(empty);
    EXPECT_TRUE(empty.empty());
    Bytes garbage = Text("404 Not Found\r\n");
    rig.h264.ParseData(garbage);
    rig.driver.allocator = nullptr;
    Bytes chunk = kSps1080;
    rig.h264.ParseData(chunk);
    EXPECT_EQ(chunk, kSps1080);  // dropped before anything was appended
    EXPECT_EQ(rig.host.Created(), 0);
}

}  // namespace
}  // namespace talvik

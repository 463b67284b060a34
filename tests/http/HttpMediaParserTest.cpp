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

// A 1080p key frame (SPS, PPS, slice) from x264.
const std::string kSeed = talvik::test::ReadFile(
    std::string(TALVIK_SOURCE_DIR) + "/fuzz/corpus/http_media_parser/h264_keyframe_1080");
const Bytes kSps1080(kSeed.begin() + (kSeed.empty() ? 0 : 1), kSeed.end());
const Bytes kAud = {0x00, 0x00, 0x01, 0x09, 0x30};

class ThrowingAllocator : public IHostFrameAllocator {
public:
    IHostFrame* CreateFrame(uint32_t, uint32_t, const char*) override { throw 42; }
    void ReleaseFrame(IHostFrame*) override {}
};

// A host that fails, on either parser: the picture is dropped, a frame that
// was made is given back, the module's own faults are logged, and the next
// picture goes through. A frame buffer shorter than asked is never overrun.
// A picture one byte over the assembler's cap is dropped alike.
TEST(HttpMediaParser, HostFaultDropsOnlyThatPicture) {
    enum Fault { kNoAllocator, kCreateRefused, kFrameRefused, kThrows, kShortBuffer, kOversized };
    const struct {
        Fault fault;
        int created;
        const char* log;
    } cases[] = {
        {kNoAllocator, 0, ""},
        {kCreateRefused, 0, ""},
        {kFrameRefused, 1, ""},
        {kThrows, 0, "talvik::CHttpMediaParser::DeliverFrame(): Unexpected exception, device "},
        {kShortBuffer, 1, "talvik::CHttpMediaParser::DeliverFrame: Data copying error, device "},
        {kOversized, 0,
         "talvik::CHttpMediaParser::CheckBufferSize Frame buffer overflow detected, "}};
    const Bytes big =
        MakeJpeg(1920, 1080, CJpegAssembler::kMaxImageBytes + 1 - talvik_http_test::kJpegOverhead);
    ThrowingAllocator thrower;
    for (const auto& c : cases) {
        for (const bool jpeg : {true, false}) {
            if (c.fault == kOversized && !jpeg) continue;
            Rig rig;
            rig.driver.allocator = c.fault == kNoAllocator ? nullptr
                                   : c.fault == kThrows    ? &thrower
                                                           : rig.driver.allocator;
            rig.host.refuseCreate = c.fault == kCreateRefused;
            rig.host.acceptFrames = c.fault != kFrameRefused;
            rig.host.bufferShortBy = c.fault == kShortBuffer ? 1 : 0;
            CHttpMediaParser& parser = jpeg ? static_cast<CHttpMediaParser&>(rig.jpeg) : rig.h264;
            Bytes chunk = c.fault == kOversized ? big : jpeg ? MakeJpeg(640, 480, 5) : kSps1080;
            parser.ParseData(chunk);
            EXPECT_EQ(rig.host.FrameCount(), 0u) << c.fault << jpeg;
            EXPECT_TRUE(c.fault != kNoAllocator || jpeg || chunk == kSps1080);  // nothing appended
            EXPECT_EQ(rig.host.Created(), c.created) << c.fault << jpeg;
            EXPECT_EQ(rig.host.Released(), c.created) << c.fault << jpeg;
            std::string log;
            for (const talvik_test::LogLine& line : rig.driver.log.Lines())
                log += std::to_string(line.level) + " " + line.text + "\n";
            EXPECT_EQ(log, *c.log ? std::string("1 ") + c.log + "10.1.1.7:8080\n" : "")
                << c.fault << jpeg;
            rig.driver.allocator = &rig.host;
            rig.host.refuseCreate = false;
            rig.host.acceptFrames = true;
            rig.host.bufferShortBy = 0;
            chunk = jpeg ? MakeJpeg(640, 480, 5) : kSps1080;
            parser.ParseData(chunk);
            EXPECT_EQ(rig.host.FrameCount(), 1u) << c.fault << jpeg;
        }
    }
}

// The frame's fields and bytes are replayed from the http_media_parser seeds
// (CorpusReplayTest, garbage too); read-only bytes give the same frame and stay as
// they were.
TEST(H264MediaParser, ReadOnlyBytesAreNotChanged) {
    Rig rig;
    Bytes empty;  // gives nothing and gets nothing appended
    rig.h264.ParseData(empty);
    EXPECT_TRUE(empty.empty());
    const Bytes original = kSps1080;
    rig.h264.ParseBytes(original.data(), original.size());
    ASSERT_EQ(rig.host.FrameCount(), 1u);
    EXPECT_EQ(rig.host.Frames()[0].bytes, Concat({kSps1080, kAud}));
    EXPECT_EQ(original, kSps1080);
}

}  // namespace
}  // namespace talvik

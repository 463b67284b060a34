#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JpegBytes.h"
#include "http/HttpMediaParser.h"
#include "http/JpegAssembler.h"
#include "support/FakeHost.h"

namespace talvik {
namespace {

using talvik_http_test::Bytes;
using talvik_http_test::Concat;
using talvik_http_test::MakeJpeg;
using talvik_http_test::Text;
using talvik_test::FakeDriver;
using talvik_test::FakeHost;
using talvik_test::FrameRecord;

// SPS of ffmpeg -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 1
//   -pix_fmt yuv420p -c:v libx264 -f h264 hd.h264 (1920x1088, bottom crop 4).
const Bytes kSps1080 = {0x00, 0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x28, 0xac, 0xd9,
                        0x40, 0x78, 0x02, 0x27, 0xe5, 0xc0, 0x44, 0x00, 0x00, 0x03,
                        0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0xc8, 0x3c, 0x60, 0xc6,
                        0x58, 0x00, 0x00, 0x00, 0x01, 0x68, 0xeb, 0xe3, 0xcb, 0x22,
                        0xc0, 0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kAud = {0x00, 0x00, 0x01, 0x09, 0x30};

class StubReceiver : public IMediaReceiver {
public:
    explicit StubReceiver(FakeHost* host) : host_(host) {}
    bool ReceiveFrame(IHostFrame* frame) override { return host_->OnFrame(frame); }
    std::string GetStreamName() override { return "talvik_test::LiveStream"; }

private:
    FakeHost* host_;
};

struct Rig {
    Rig() {
        driver.device.address = "10.1.1.7";
        driver.device.port = 8080;
        driver.allocator = &host;
        jpeg.SetReceiver(&receiver);
        h264.SetReceiver(&receiver);
    }
    void Jpeg(std::initializer_list<Bytes> chunks) {
        for (Bytes c : chunks)
            jpeg.ParseData(c);
    }
    FakeDriver driver;
    FakeHost host;
    StubReceiver receiver{&host};
    CJpegMediaParser jpeg{&driver};
    CH264MediaParser h264{&driver};
};

TEST(JpegMediaParser, HandsOverFieldsThenBytesWithStreamNameAndClass) {
    Rig rig;
    const Bytes image = MakeJpeg(704, 240, 30);
    rig.Jpeg({Concat({Text("--myboundary\r\nContent-Type: image/jpeg\r\n\r\n"), image,
                      Text("\r\n--myboundary\r\n")})});
    ASSERT_EQ(rig.host.FrameCount(), 1u);
    const FrameRecord f = rig.host.Frames()[0];
    EXPECT_EQ(f.fourcc, 0x4745504Au);
    EXPECT_EQ(f.requestedSize, image.size());
    EXPECT_EQ(f.dataSize, image.size());
    EXPECT_EQ(f.bytes, image);
    EXPECT_EQ(f.streamName, "talvik_test::LiveStream");
    EXPECT_EQ(f.width, 704u);
    EXPECT_EQ(f.height, 240u);
    EXPECT_EQ(f.resolutionClass, 3u);
    EXPECT_EQ(f.calls,
              (std::vector<std::string>{"SetWidth", "SetHeight", "SetResolutionClass",
                                        "SetDataSize", "SetFourCC", "StampFrame", "GetBuffer"}));
    EXPECT_EQ(rig.host.Created(), 1);
    EXPECT_EQ(rig.host.Released(), 1);
}

TEST(JpegMediaParser, ProgressiveImageUsesTheSizeOfAnEarlierOne) {
    Rig rig;
    rig.Jpeg({MakeJpeg(800, 600, 10, 0xC2)});
    EXPECT_EQ(rig.host.Created(), 0);  // no size known: not even a frame is asked for
    rig.Jpeg({MakeJpeg(352, 288, 10)});
    const Bytes progressive = MakeJpeg(1024, 768, 10, 0xC2);
    rig.Jpeg({progressive});
    ASSERT_EQ(rig.host.FrameCount(), 2u);
    const FrameRecord f = rig.host.Frames()[1];
    EXPECT_EQ(f.bytes, progressive);
    EXPECT_EQ(f.width, 352u);
    EXPECT_EQ(f.height, 288u);
    EXPECT_EQ(f.resolutionClass, 2u);
}

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

TEST(H264MediaParser, KeyFrameGetsDelimiterSizeAndH264Code) {
    Rig rig;
    Bytes chunk = kSps1080;
    rig.h264.ParseData(chunk);
    ASSERT_EQ(rig.host.FrameCount(), 1u);
    const FrameRecord f = rig.host.Frames()[0];
    EXPECT_EQ(f.fourcc, 0x34363248u);
    EXPECT_EQ(f.bytes, Concat({kSps1080, kAud}));
    EXPECT_EQ(f.dataSize, kSps1080.size() + 5);
    EXPECT_EQ(f.width, 1920u);
    EXPECT_EQ(f.height, 1080u);
    EXPECT_EQ(f.resolutionClass, 4u);
    EXPECT_EQ(f.streamName, "talvik_test::LiveStream");
    EXPECT_EQ(f.calls,
              (std::vector<std::string>{"GetBuffer", "SetWidth", "SetHeight", "SetResolutionClass",
                                        "SetDataSize", "SetFourCC", "StampFrame"}));
    EXPECT_EQ(rig.host.Released(), 1);

    // Read-only bytes: the same frame, and the caller's bytes stay as they were.
    Rig second;
    const Bytes original = kSps1080;
    second.h264.ParseBytes(original.data(), original.size());
    ASSERT_EQ(second.host.FrameCount(), 1u);
    EXPECT_EQ(second.host.Frames()[0].bytes, Concat({kSps1080, kAud}));
    EXPECT_EQ(original, kSps1080);
}

// A key frame whose SPS says 65536x65536 is malformed: no frame, and the
// warning is written once however often it comes.
TEST(H264MediaParser, OversizedPictureIsDroppedAndLoggedOnce) {
    Rig rig;
    const Bytes oversized = {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0xc0, 0x33, 0xf4,
                             0x00, 0x08, 0x00, 0x00, 0x04, 0x00, 0x32, 0x00, 0x00,
                             0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x33};
    for (int i = 0; i < 3; ++i) {
        Bytes chunk = oversized;
        rig.h264.ParseData(chunk);
    }
    EXPECT_EQ(rig.host.Created(), 0);
    EXPECT_EQ(rig.driver.log.Lines(),
              (std::vector<talvik_test::LogLine>{
                  {2,
                   "talvik::CH264MediaParser::ParseData: Picture size 65536x65536 is beyond "
                   "16384 pixels on a side, device 10.1.1.7:8080"}}));
    Bytes chunk = kSps1080;
    rig.h264.ParseData(chunk);
    EXPECT_EQ(rig.host.FrameCount(), 1u);
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

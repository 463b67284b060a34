// What the packet corpus replay cannot hold: failed deliveries to the host,
// a frame past the buffer cap, and sequence numbers that wrap or repeat.
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "rtsp/RTPMediaParser.h"
#include "support/FakeHost.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Log = std::vector<talvik_test::LogLine>;

// 1920x1080 High profile parameter sets (x264), a key frame and a slice.
const Bytes kSps = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02,
                    0x27, 0xe5, 0xc0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                    0x00, 0x00, 0x03, 0x00, 0xc8, 0x3c, 0x60, 0xc6, 0x58};
const Bytes kPps = {0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21, 0x11};
const Bytes kSlice = {0x41, 0x9a, 0x02, 0x03};

struct Fixture : talvik::IMediaParserClient {
    explicit Fixture(bool logRtpSequence = false) : parser(&driver, logRtpSequence) {
        driver.device.address = "10.1.2.3";
        driver.device.port = 8080;
        driver.allocator = &host;
        parser.SetClient(this);
    }
    bool OnMediaFrame(talvik::IHostFrame* frame) override {
        if (throwOnFrame) throw std::runtime_error("host");
        return host.OnFrame(frame);
    }
    std::pair<uint32_t, uint32_t> GetDefaultResolution() override { return {640, 360}; }
    std::string GetStreamName() override { return "RecStream"; }
    void ConvertTimestamp(uint32_t, talvik::HostSystemTime*) override {}

    void Send(const Bytes& payload, bool marker) {
        talvik::CRTPPacket p;
        p.sequenceNumber = sequence++;
        p.marker = marker;
        p.payloadType = 96;
        p.payload = payload;
        p.payloadLength = uint32_t(payload.size());
        parser.ProcessPacket(p);
    }
    void KeyFrame() {
        Send(kSps, false);
        Send(kPps, false);
        Send(kIdr, true);
    }

    talvik_test::FakeHost host;
    talvik_test::FakeDriver driver;
    talvik::CH264RTPMediaParser parser;
    bool throwOnFrame = false;
    uint16_t sequence = 65534;  // wraps within the first key frame
};

// A delivery that fails in any way drops frames until the next key frame.
TEST(H264RTPMediaParser, FailedDeliveryResynchronisesUntilTheNextKeyFrame) {
    const struct {
        void (*fail)(Fixture&);
        Log log;
    } cases[] = {{[](Fixture& f) { f.host.acceptFrames = false; }, {}},
                 {[](Fixture& f) { f.throwOnFrame = true; }, {}},
                 {[](Fixture& f) { f.host.bufferShortBy = 1; },
                  {{1,
                    "talvik::CH264RTPMediaParser::ProcessFrame: Data copying error, device "
                    "10.1.2.3:8080"}}}};
    for (const auto& c : cases) {
        Fixture f;
        c.fail(f);
        f.KeyFrame();
        f.host.acceptFrames = true;
        f.host.bufferShortBy = 0;
        f.throwOnFrame = false;
        f.Send(kSlice, true);  // waits for a key frame: dropped
        EXPECT_TRUE(f.parser.NeedKeyFrame());
        f.KeyFrame();
        f.Send(kSlice, true);
        const auto frames = f.host.Frames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].fourcc, talvik::kFourCCH264);
        EXPECT_EQ(frames[1].fourcc, talvik::kFourCCI264);
        EXPECT_EQ(f.host.Created(), f.host.Released());
        EXPECT_EQ(f.driver.log.Lines(), c.log);
    }
    Fixture f;
    f.driver.allocator = nullptr;
    f.KeyFrame();
    EXPECT_EQ(f.host.Created(), 0) << "without an allocator nothing is delivered";
}

// The depacketizer reports an overflow once per frame; the next key frame
// comes through again. Sequence gaps, a repeated number among them, are
// written only when the settings file asks for them; a repeated packet is
// dropped.
TEST(H264RTPMediaParser, OverflowSequenceGapAndRepeatAreLogged) {
    for (const bool gapsAsked : {false, true}) {
        Fixture f(gapsAsked);
        f.KeyFrame();  // 65534, 65535, 0
        // FU-A fragments of one slice, past 10 MiB, never ended by a marker.
        Bytes fragment(1400, 0x11);
        fragment[0] = 0x5C;  // FU-A, NRI 2
        fragment[1] = 0x81;  // start, slice type 1
        f.Send(fragment, false);
        fragment[1] = 0x01;
        for (size_t sent = 0; sent < talvik::CH264Depacketizer::kMaxFrameBytes / 1398 + 10; ++sent)
            f.Send(fragment, false);
        f.Send(kSlice, true);
        EXPECT_EQ(f.host.Frames().size(), 1u);
        const uint16_t last = uint16_t(f.sequence - 1);
        f.sequence = uint16_t(last + 9);
        f.KeyFrame();
        f.sequence--;
        f.Send(kSlice, true);
        EXPECT_EQ(f.host.Frames().size(), 2u);
        Log expected = {{1,
                         "talvik::CRTPMediaParser::CheckBufferSize Frame buffer overflow "
                         "detected, 10.1.2.3:8080"}};
        for (const auto& [from, to, diff] :
             {std::tuple{last, last + 9, 9}, {last + 11, last + 11, 0}})
            if (gapsAsked)
                expected.push_back({1,
                                    "Device 10.1.2.3:8080, packet sequence number is incorrect, "
                                    "expected: " +
                                        std::to_string(uint16_t(from)) +
                                        ", received: " + std::to_string(uint16_t(to)) +
                                        ", diff: " + std::to_string(diff)});
        EXPECT_EQ(f.driver.log.Lines(), expected) << gapsAsked;
    }
}

}  // namespace

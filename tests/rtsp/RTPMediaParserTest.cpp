// The H.264 RTP media parser as the channel sees it: frames in the host's
// objects with their fields in order, the client's time, the messages, and a
// resynchronisation after every failed delivery.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "rtsp/RTPMediaParser.h"
#include "support/FakeHost.h"

namespace {

using Bytes = std::vector<uint8_t>;
using talvik::CH264RTPMediaParser;
using talvik::CRTPPacket;
using talvik_test::FakeDriver;
using talvik_test::FakeHost;

// 1920x1080 High profile parameter sets (x264).
const Bytes kSps = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02,
                    0x27, 0xe5, 0xc0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                    0x00, 0x00, 0x03, 0x00, 0xc8, 0x3c, 0x60, 0xc6, 0x58};
const Bytes kPps = {0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21, 0x11};
const Bytes kSlice = {0x41, 0x9a, 0x02, 0x03};

Bytes AnnexB(std::initializer_list<Bytes> nals) {
    Bytes out;
    for (const Bytes& n : nals) {
        out.insert(out.end(), {0x00, 0x00, 0x01});
        out.insert(out.end(), n.begin(), n.end());
    }
    out.insert(out.end(), {0x00, 0x00, 0x01, 0x09, 0x10});
    return out;
}

class Client : public talvik::IMediaParserClient {
public:
    enum class Answer { kAccept, kRefuse, kThrow };
    explicit Client(FakeHost& host) : host_(host) {}
    bool OnMediaFrame(talvik::IHostFrame* frame) override {
        if (answer == Answer::kThrow) throw std::runtime_error("host");
        return answer == Answer::kAccept && host_.OnFrame(frame);
    }
    std::pair<uint32_t, uint32_t> GetDefaultResolution() override { return {640, 360}; }
    std::string GetStreamName() override { return "talvik_test::RecStream"; }
    void ConvertTimestamp(uint32_t rtpTimestamp, talvik::HostSystemTime* out) override {
        timestamps.push_back(rtpTimestamp);
        *out = talvik::HostSystemTime{2026, 12, 0, 6, 0, 0, 7, 0};
    }
    Answer answer = Answer::kAccept;
    std::vector<uint32_t> timestamps;

private:
    FakeHost& host_;
};

// Frames whose buffer is one byte short of what was asked.
class ShortFrameHost : public FakeHost {
public:
    talvik::IHostFrame* CreateFrame(uint32_t fourcc, uint32_t size, const char* name) override {
        return FakeHost::CreateFrame(fourcc, size - 1, name);
    }
};

class Fixture {
public:
    explicit Fixture(FakeHost& host, bool logRtpSequence = false) : client(host) {
        driver.device.address = "10.1.2.3";
        driver.device.port = 8080;
        driver.allocator = &host;
        parser.reset(new CH264RTPMediaParser(&driver, logRtpSequence));
        parser->SetClient(&client);
    }
    void Send(const Bytes& payload, bool marker, uint32_t timestamp = 9000) {
        CRTPPacket p;
        p.sequenceNumber = sequence++;
        p.marker = marker ? 1 : 0;
        p.payloadType = 96;
        p.timestamp = timestamp;
        p.payload = payload;
        p.payloadLength = uint32_t(payload.size());
        parser->ProcessPacket(p);
    }
    void KeyFrame(uint32_t timestamp = 9000) {
        Send(kSps, false, timestamp);
        Send(kPps, false, timestamp);
        Send(kIdr, true, timestamp);
    }

    FakeDriver driver;
    Client client;
    std::unique_ptr<CH264RTPMediaParser> parser;
    uint16_t sequence = 100;
};

// No message when `message` is empty, else exactly that one at level 1.
std::vector<talvik_test::LogLine> Messages(const char* message) {
    if (*message == '\0') return {};
    return {{1, message}};
}

TEST(H264RTPMediaParser, KeyFrameThenPictureFillTheHostFramesInOrder) {
    FakeHost host;
    Fixture f(host);
    f.Send(kSlice, true);  // before any key frame: dropped
    f.KeyFrame(9000);
    f.Send(kSlice, true, 12600);
    const auto frames = host.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].fourcc, talvik::kFourCCH264);
    EXPECT_EQ(frames[0].bytes, AnnexB({kSps, kPps, kIdr}));
    EXPECT_EQ(frames[0].requestedSize, frames[0].bytes.size());
    EXPECT_EQ(frames[0].width, 1920u);
    EXPECT_EQ(frames[0].height, 1080u);
    EXPECT_EQ(frames[0].resolutionClass, 4u);
    EXPECT_EQ(frames[0].streamName, "talvik_test::RecStream");
    EXPECT_EQ(frames[0].calls,
              (std::vector<std::string>{"GetBuffer", "SetWidth", "SetHeight", "SetResolutionClass",
                                        "SetDataSize", "SetFourCC", "SetTime"}));
    EXPECT_EQ(frames[1].fourcc, talvik::kFourCCI264);
    EXPECT_EQ(frames[1].bytes, AnnexB({kSlice}));
    EXPECT_EQ(frames[1].width, 1920u);
    EXPECT_EQ(f.client.timestamps, (std::vector<uint32_t>{9000, 12600}));
    EXPECT_EQ(host.Created(), host.Released());
    EXPECT_TRUE(f.driver.log.Lines().empty());
}

// Sequence gaps are written only when the settings file asks for them.
TEST(H264RTPMediaParser, SequenceGapIsLoggedOnlyWhenAsked) {
    for (const bool asked : {false, true}) {
        FakeHost host;
        Fixture f(host, asked);
        f.KeyFrame();
        f.sequence = 110;
        f.Send(kSlice, true);
        EXPECT_EQ(f.driver.log.Lines(),
                  Messages(asked ? "Device 10.1.2.3:8080, packet sequence number is incorrect, "
                                   "expected: 102, received: 110, diff: 8"
                                 : ""))
            << asked;
    }
}

// An SPS that says 65536x65536 (beyond any H.264 level) makes no key frame:
// nothing reaches the host while one is awaited, and the warning is written
// once however often it comes.
TEST(H264RTPMediaParser, OversizedPictureIsNoKeyFrameAndLoggedOnce) {
    const Bytes oversizedSps = {0x67, 0x42, 0xc0, 0x33, 0xf4, 0x00,
                                0x08, 0x00, 0x00, 0x04, 0x00, 0x32};
    FakeHost host;
    Fixture f(host);
    for (int i = 0; i < 2; ++i) {
        f.Send(oversizedSps, false);
        f.Send(kPps, false);
        f.Send(kIdr, true);
    }
    EXPECT_EQ(host.Created(), 0);
    EXPECT_EQ(f.driver.log.Lines(),
              (std::vector<talvik_test::LogLine>{
                  {2,
                   "talvik::CH264RTPMediaParser::ProcessPacket: Picture size 65536x65536 is "
                   "beyond 16384 pixels on a side, device 10.1.2.3:8080"}}));
    f.KeyFrame();
    EXPECT_EQ(host.Frames().size(), 1u);
}

// A delivery that fails in any way drops frames until the next key frame.
struct FailureCase {
    const char* name;
    bool shortBuffer;
    Client::Answer answer;
    const char* message;  // level-1 message, or empty
};

class H264RTPMediaParserFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(H264RTPMediaParserFailure, ResynchronisesUntilTheNextKeyFrame) {
    const FailureCase& c = GetParam();
    ShortFrameHost shortHost;
    FakeHost plainHost;
    FakeHost& host = c.shortBuffer ? shortHost : plainHost;
    Fixture f(host);
    f.client.answer = c.answer;
    f.KeyFrame();
    f.client.answer = Client::Answer::kAccept;
    if (c.shortBuffer) f.driver.allocator = &plainHost;
    f.Send(kSlice, true);  // waits for a key frame: dropped
    EXPECT_TRUE(f.parser->NeedKeyFrame());
    f.KeyFrame();
    f.Send(kSlice, true);
    // The client's sink is `host`; frames after a short one come from plainHost.
    const auto frames = host.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].fourcc, talvik::kFourCCH264);
    EXPECT_EQ(frames[1].fourcc, talvik::kFourCCI264);
    EXPECT_EQ(shortHost.Created(), shortHost.Released());
    EXPECT_EQ(plainHost.Created(), plainHost.Released());
    EXPECT_EQ(f.driver.log.Lines(), Messages(c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, H264RTPMediaParserFailure,
    ::testing::Values(FailureCase{"Refused", false, Client::Answer::kRefuse, ""},
                      FailureCase{"Thrown", false, Client::Answer::kThrow, ""},
                      FailureCase{
                          "ShortBuffer", true, Client::Answer::kAccept,
                          "talvik::CH264RTPMediaParser::ProcessFrame: Data copying error, device "
                          "10.1.2.3:8080"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// The depacketizer reports an overflow once per frame; the next key frame
// comes through again.
TEST(H264RTPMediaParser, OverflowIsLoggedOnceAndTheFrameDropped) {
    FakeHost host;
    Fixture f(host);
    f.KeyFrame();
    // FU-A fragments of one slice, past 10 MiB, never ended by a marker.
    Bytes fragment(1400, 0x11);
    fragment[0] = 0x5C;  // FU-A, NRI 2
    fragment[1] = 0x81;  // start, slice type 1
    f.Send(fragment, false);
    fragment[1] = 0x01;
    for (size_t sent = 0; sent < talvik::CH264Depacketizer::kMaxFrameBytes / 1398 + 10; ++sent)
        f.Send(fragment, false);
    f.Send(kSlice, true);
    EXPECT_EQ(host.Frames().size(), 1u);
    f.KeyFrame();
    EXPECT_EQ(host.Frames().size(), 2u);
    EXPECT_EQ(f.driver.log.Lines(),
              Messages("talvik::CRTPMediaParser::CheckBufferSize Frame buffer overflow detected, "
                       "10.1.2.3:8080"));
}

TEST(H264RTPMediaParser, WithoutAllocatorNothingIsDelivered) {
    FakeHost host;
    Fixture f(host);
    f.driver.allocator = nullptr;
    f.KeyFrame();
    f.Send(kSlice, true);
    EXPECT_EQ(host.Created(), 0);
    EXPECT_TRUE(f.client.timestamps.empty());
}

}  // namespace

#include "rtsp/RTSPStreamParser.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Loopback.h"
#include "rtsp/RTSPClientUser.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;
using talvik_test::Concat;

struct Delivered {
    uint16_t sequence;
    Bytes payload;
    bool operator==(const Delivered& o) const {
        return sequence == o.sequence && payload == o.payload;
    }
};

class RecordingUser : public IRTSPClientUser {
public:
    bool OnRTSPSessionReady(RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(CRTPPacket* packet) override {
        packets.push_back({packet->sequenceNumber, packet->payload});
        if (throwOnPacket) throw std::runtime_error("user failure");
    }
    void OnRTSPClientStopped() override {}
    std::vector<Delivered> packets;
    bool throwOnPacket = false;
};

// RTP version 2, PT 96, timestamp 3000, SSRC 11223344.
Bytes RtpPacket(uint16_t sequence, const Bytes& payload) {
    Bytes p = talvik_test::Hex("8060 0000 00000BB8 11223344");
    p[2] = static_cast<uint8_t>(sequence >> 8);
    p[3] = static_cast<uint8_t>(sequence);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Bytes Frame(uint8_t channel, const Bytes& packet) {
    Bytes f = {'$', channel, static_cast<uint8_t>(packet.size() >> 8),
               static_cast<uint8_t>(packet.size())};
    f.insert(f.end(), packet.begin(), packet.end());
    return f;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// What a camera sends after PLAY on interleaved channels 0 (RTP) and 2: the
// PLAY answer, a frame, a keep-alive answer, a second frame.
Bytes TwoFramesWithText() {
    return Concat({Text("RTSP/1.0 200 OK\r\nCSeq: 4\r\nRTP-Info: url=rtsp://cam/h264.sdp/"
                        "stream=0;seq=100;rtptime=3000\r\nSession: 1234\r\n\r\n"),
                   Frame(0, RtpPacket(100, {0x65, 0x88, 0x84, '$', 0x00, 0x21})),
                   Text("RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 1234\r\n\r\n"),
                   Frame(2, RtpPacket(101, {0x41, 0x9A, 0x02}))});
}

// RTCP sender report (SSRC 11223344) whose NTP seconds read 24 00 FF FF.
const Bytes kSenderReport =
    talvik_test::Hex("80C8 0006 11223344 2400FFFF 10000000 00000BB8 00000010 00000800");

const std::vector<Delivered> kExpected = {{100, {0x65, 0x88, 0x84, '$', 0x00, 0x21}},
                                          {101, {0x41, 0x9A, 0x02}}};

TEST(RTSPStreamParser, EveryTwoAndThreeWaySplitDeliversBothFramesOnce) {
    const Bytes stream = TwoFramesWithText();
    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); ++b) {
            RecordingUser user;
            CRTSPStreamParser parser(&user, 0, 2);
            parser.Feed(stream.data(), a);
            parser.Feed(stream.data() + a, b - a);
            parser.Feed(stream.data() + b, stream.size() - b);
            ASSERT_EQ(kExpected, user.packets) << "split at " << a << " and " << b;
        }
    }
}

struct StreamCase {
    const char* name;
    Bytes stream;
    std::vector<uint16_t> sequences;
};

class StreamResync : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamResync, DeliversOnlyWellFormedFramesOfOurChannels) {
    const StreamCase& c = GetParam();
    RecordingUser user;
    CRTSPStreamParser parser(&user, 0, 2);
    parser.Feed(c.stream.data(), c.stream.size());
    std::vector<uint16_t> got;
    for (const Delivered& d : user.packets)
        got.push_back(d.sequence);
    EXPECT_EQ(c.sequences, got);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, StreamResync,
    ::testing::Values(
        StreamCase{
            "ZeroLengthFrameIgnored", Concat({{'$', 0, 0, 0}, Frame(0, RtpPacket(8, {1}))}), {8}},
        StreamCase{"NonRtpPayloadDropped",
                   Concat({Frame(0, {0x40, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 9}),
                           Frame(0, RtpPacket(9, {1}))}),
                   {9}},
        StreamCase{"HeaderOnlyPacketDropped",
                   Concat({Frame(0, Bytes(RtpPacket(1, {}))), Frame(2, RtpPacket(10, {1}))}),
                   {10}},
        StreamCase{"OtherChannelSkipped",
                   Concat({Frame(1, {0x81, 0xC9, 0, 1, 1, 2, 3, 4}), Frame(0, RtpPacket(11, {5}))}),
                   {11}},
        // A sender report whose NTP time holds 24 00: its frame is skipped by
        // its length, not searched for the next '$' and channel.
        StreamCase{"RtcpFrameHoldingDollarZeroIsSkippedWhole",
                   Concat({Frame(0, RtpPacket(12, {5})), Frame(1, kSenderReport),
                           Frame(0, RtpPacket(13, {6})), Frame(0, RtpPacket(14, {7}))}),
                   {12, 13, 14}},
        StreamCase{"AnswerBodyHoldingDollarZeroIsSkippedWhole",
                   Concat({Text("RTSP/1.0 200 OK\r\nCSeq: 6\r\nContent-Length: 8\r\n\r\n"),
                           {'$', 0, 0xFF, 0xFF, 'a', '$', 0, 0},
                           Frame(0, RtpPacket(15, {8}))}),
                   {15}},
        StreamCase{
            "FrameAfterStrayLineEnd", Concat({Text("\r\n"), Frame(0, RtpPacket(16, {9}))}), {16}}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

TEST(RTSPStreamParser, LargestFrameIsReassembled) {
    const Bytes payload(65535 - 12, 0xAB);
    const Bytes stream = Frame(0, RtpPacket(500, payload));
    RecordingUser user;
    CRTSPStreamParser parser(&user, 0, 2);
    for (size_t pos = 0; pos < stream.size(); pos += 8192) {
        parser.Feed(stream.data() + pos, std::min<size_t>(8192, stream.size() - pos));
    }
    ASSERT_EQ(1u, user.packets.size());
    EXPECT_EQ(payload, user.packets[0].payload);
}

// Fed a byte at a time, every header field arrives alone; a user that throws
// must not stop the stream either.
TEST(RTSPStreamParser, ByteByByteFeedToAThrowingUserDeliversBothFrames) {
    const Bytes stream = TwoFramesWithText();
    RecordingUser user;
    user.throwOnPacket = true;
    CRTSPStreamParser parser(&user, 0, 2);
    for (uint8_t byte : stream)
        parser.Feed(&byte, 1);
    EXPECT_EQ(kExpected, user.packets);
}

Bytes WithMarker(Bytes packet) {
    packet[1] |= 0x80;
    return packet;
}

struct MidFrameCase {
    const char* name;
    Bytes stream;
    bool midFrame;
};

class MidFrameTest : public ::testing::TestWithParam<MidFrameCase> {};

// The reader naps only while a frame is incomplete: a wrong answer either
// delays a finished frame or brings back a wake-up per segment.
TEST_P(MidFrameTest, TellsWhetherMoreOfTheFrameIsDue) {
    const MidFrameCase& c = GetParam();
    RecordingUser user;
    CRTSPStreamParser parser(&user, 0, 2);
    EXPECT_FALSE(parser.MidFrame());
    parser.Feed(c.stream.data(), c.stream.size());
    EXPECT_EQ(c.midFrame, parser.MidFrame());
}

const Bytes kOpen = Frame(0, RtpPacket(1, {0x7C, 0x85, 1, 2}));
const Bytes kClosing = Frame(0, WithMarker(RtpPacket(2, {0x7C, 0x45, 3})));

INSTANTIATE_TEST_SUITE_P(
    Cases, MidFrameTest,
    ::testing::Values(
        MidFrameCase{"MarkerEndsFrame", Concat({kOpen, kClosing}), false},
        MidFrameCase{"PacketWithoutMarker", Concat({kClosing, kOpen}), true},
        MidFrameCase{"HeaderCutShort", Concat({kClosing, Bytes(kOpen.begin(), kOpen.begin() + 3)}),
                     true},
        MidFrameCase{"PacketCutShort", Concat({kClosing, Bytes(kOpen.begin(), kOpen.end() - 1)}),
                     true},
        MidFrameCase{"TextAfterMarker", Concat({kClosing, {'R', 'T', 'S', 'P'}}), false}),
    [](const ::testing::TestParamInfo<MidFrameCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
}  // namespace talvik

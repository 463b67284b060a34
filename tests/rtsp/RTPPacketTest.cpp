#include "rtsp/RTPPacket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Loopback.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;

// Fixed header: V=2 with the given flag bits in byte 0, M=1 PT=96, seq 0x1234,
// timestamp 0x89ABCDEF, SSRC 01 02 03 04.
Bytes Header(uint8_t firstByteFlags) {
    Bytes header = talvik_test::Hex("80E01234 89ABCDEF 01020304");
    header[0] |= firstByteFlags;
    return header;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ParseCase {
    const char* name;
    Bytes packet;
    bool ok;
    size_t payloadSize;
};

class RTPPacketParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RTPPacketParse, AcceptsOnlyPacketsThatFitTheirLength) {
    const ParseCase& c = GetParam();
    CRTPPacket packet;
    EXPECT_EQ(c.ok, packet.Parse(c.packet.data(), c.packet.size()));
    EXPECT_EQ(c.payloadSize, packet.payload.size());
    EXPECT_EQ(c.payloadSize, packet.payloadLength);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, RTPPacketParse,
    ::testing::Values(
        ParseCase{"Empty", {}, false, 0},
        ParseCase{"HeaderOnly12BytesRejected", Header(0), false, 0},
        ParseCase{"ThirteenBytesGiveOnePayloadByte", Concat(Header(0), {0x65}), true, 1},
        ParseCase{"Version1Dropped", Concat({0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {1}), false,
                  0},
        ParseCase{"Csrc2WithExactly8BytesRejected", Concat(Header(0x02), Bytes(8, 0xAA)), false, 0},
        ParseCase{"Csrc2With9BytesGivesOnePayloadByte", Concat(Header(0x02), Bytes(9, 0xAA)), true,
                  1},
        ParseCase{"ExtensionLength0Consumes4Bytes",
                  Concat(Header(0x10), {0xBE, 0xDE, 0x00, 0x00, 0x41, 0x42}), true, 2},
        ParseCase{"ExtensionDataCutShort",
                  Concat(Header(0x10), {0xBE, 0xDE, 0x00, 0x02, 1, 2, 3, 4, 5, 6, 7}), false, 0},
        ParseCase{"ExtensionExactlyFillingPacketGivesEmptyPayload",
                  Concat(Header(0x10), {0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4}), true, 0},
        ParseCase{"PaddingRemoved", Concat(Header(0x20), {0x41, 0x42, 0x00, 0x02}), true, 2},
        ParseCase{"PaddingCountBeyondHeaderFails", Concat(Header(0x20), {0x00, 0x00, 0x04}), false,
                  0},
        ParseCase{"PaddingReachingIntoCsrcFails",
                  Concat(Header(0x21), {0xAA, 0xAA, 0xAA, 0xAA, 0x00, 0x06}), false, 0}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

// Fields the receiver and the depacketizer use; the payload lies past the CSRC
// list and the extension, without the padding.
TEST(RTPPacket, ReadsHeaderFieldsInHostOrderAndSsrcAsReceived) {
    // V=2 P=1 X=1 CC=1, M=1 PT=96, CSRC, one extension word, 3 payload bytes, 2 padding.
    const Bytes data = Concat(Header(0x31), {0xCA, 0xFE, 0xBA, 0xBE, 0x10, 0x00, 0x00, 0x01, 0xDE,
                                             0xAD, 0xBE, 0xEF, 0x61, 0x62, 0x63, 0x00, 0x02});
    CRTPPacket packet;
    ASSERT_TRUE(packet.Parse(data.data(), data.size()));
    const uint8_t ssrcBytes[4] = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(0, std::memcmp(&packet.ssrc, ssrcBytes, 4));
    EXPECT_EQ(1, packet.marker);
    EXPECT_EQ(96, packet.payloadType);
    EXPECT_EQ(0x1234, packet.sequenceNumber);
    EXPECT_EQ(0x89ABCDEFu, packet.timestamp);
    EXPECT_EQ((Bytes{0x61, 0x62, 0x63}), packet.payload);
    EXPECT_EQ(3u, packet.payloadLength);
}

TEST(RTPPacket, FailedParseLeavesNoTraceOfThePreviousPacket) {
    const Bytes good = Concat(Header(0x11), {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 0, 0x65});
    CRTPPacket packet;
    ASSERT_TRUE(packet.Parse(good.data(), good.size()));
    // The CSRC list fits but the extension header is cut.
    const Bytes bad = Concat(Header(0x11), {0xCA, 0xFE, 0xBA, 0xBE, 0xBE});
    EXPECT_FALSE(packet.Parse(bad.data(), bad.size()));
    EXPECT_TRUE(packet.payload.empty());
    EXPECT_EQ(0, packet.sequenceNumber);
    EXPECT_EQ(0u, packet.timestamp);
    EXPECT_EQ(0u, packet.ssrc);
    EXPECT_EQ(0, packet.payloadType);
}

}  // namespace
}  // namespace talvik

#include "rtsp/RTCPPackets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Loopback.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;
using talvik_test::Concat;
using talvik_test::Hex;

// An SR as a camera sends it: SSRC 1A2B3C4D, NTP E89A2B10.5C28F5C2,
// RTP time 000DBBA0, 300 packets, 360000 octets, no report blocks.
const Bytes kSenderReport = Hex("80C80006 1A2B3C4D E89A2B10 5C28F5C2 000DBBA0 0000012C 00057E40");
// SDES with one CNAME "av10115" chunk, padded to a word.
const Bytes kSdes = Hex("81CA0004 1A2B3C4D 0107 61763130313135 000000");
const Bytes kBye = Hex("81CB0001 1A2B3C4D");

struct DelayCase {
    const char* name;
    uint32_t nowMs;
    uint32_t arrivalMs;
    uint32_t expected;
};

class DelaySinceLastSrTest : public ::testing::TestWithParam<DelayCase> {};

TEST_P(DelaySinceLastSrTest, InUnitsOf65536thSecond) {
    EXPECT_EQ(rtcp::DelaySinceLastSr(GetParam().nowMs, GetParam().arrivalMs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DelaySinceLastSrTest,
                         ::testing::Values(DelayCase{"NoSrYet", 5000, 0, 0},
                                           DelayCase{"OneSecond", 2000, 1000, 65536},
                                           DelayCase{"CounterWrapped", 5, 0xFFFFFFFBu, 655},
                                           DelayCase{"AncientSaturates", 0, 1, 0xFFFFFFFFu}),
                         [](const auto& info) { return std::string(info.param.name); });

struct WalkCase {
    const char* name;
    Bytes datagram;
    std::vector<uint8_t> types;  // packets visited, in order
    std::vector<size_t> sizes;
};

class CompoundWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(CompoundWalkTest, VisitsOnlyPacketsThatFit) {
    const WalkCase& c = GetParam();
    std::vector<uint8_t> types;
    std::vector<size_t> sizes;
    const size_t n =
        rtcp::WalkCompound(c.datagram.data(), c.datagram.size(), [&](const rtcp::PacketView& p) {
            types.push_back(p.type);
            sizes.push_back(p.size);
        });
    EXPECT_EQ(n, c.types.size());
    EXPECT_EQ(types, c.types);
    EXPECT_EQ(sizes, c.sizes);
}

Bytes WithLength(Bytes packet, uint8_t hi, uint8_t lo) {
    packet[2] = hi;
    packet[3] = lo;
    return packet;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompoundWalkTest,
    ::testing::Values(
        WalkCase{"SrSdesBye", Concat({kSenderReport, kSdes, kBye}), {200, 202, 203}, {28, 20, 8}},
        WalkCase{"TruncatedSr", Bytes(kSenderReport.begin(), kSenderReport.begin() + 20), {}, {}},
        WalkCase{"OversizedLengthEndsWalk", WithLength(kSenderReport, 0xFF, 0xFF), {}, {}},
        WalkCase{"OversizedSecondPacketKeepsFirst",
                 Concat({kSenderReport, WithLength(kBye, 0x00, 0x02)}),
                 {200},
                 {28}},
        WalkCase{"ZeroLengthHeadersAdvance",
                 Bytes{0x80, 0xCB, 0, 0, 0x80, 0xC8, 0, 0},
                 {203, 200},
                 {4, 4}},
        WalkCase{
            "LengthCountsWordsAfterHeader", WithLength(kSenderReport, 0x00, 0x05), {200}, {24}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RTCPPackets, WalkOfNullDataVisitsNothing) {
    EXPECT_EQ(rtcp::WalkCompound(nullptr, 100, [](const rtcp::PacketView&) { FAIL(); }), 0u);
}

struct SrCase {
    const char* name;
    Bytes packet;
    bool ok;
    uint8_t versionBits;
};

class SenderReportTest : public ::testing::TestWithParam<SrCase> {};

TEST_P(SenderReportTest, TakesSsrcAndMiddleOfNtpTime) {
    const SrCase& c = GetParam();
    rtcp::SenderReportInfo info;
    bool parsed = false;
    rtcp::WalkCompound(c.packet.data(), c.packet.size(), [&](const rtcp::PacketView& p) {
        parsed = rtcp::ParseSenderReport(p, info);
    });
    ASSERT_EQ(parsed, c.ok);
    if (!c.ok) return;
    EXPECT_EQ(info.versionBits, c.versionBits);
    EXPECT_EQ(info.ssrc, (rtcp::Word{0x1A, 0x2B, 0x3C, 0x4D}));
    EXPECT_EQ(info.lastSr, (rtcp::Word{0x2B, 0x10, 0x5C, 0x28}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenderReportTest,
    ::testing::Values(SrCase{"Full", kSenderReport, true, 0x80},
                      SrCase{"DeclaredTwelveBytesTooShort", WithLength(kSenderReport, 0, 2), false,
                             0},
                      SrCase{"ReceiverReportIsNotSr",
                             Concat({Bytes{0x81, 0xC9, 0x00, 0x07}, Bytes(28, 0)}), false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace talvik

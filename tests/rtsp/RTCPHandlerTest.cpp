#include "rtsp/RTCPHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "support/RecordingLogger.h"

namespace talvik {
namespace {

using talvik_test::Concat;
using talvik_test::Hex;
using talvik_test::Loopback;
using talvik_test::Put32;
using talvik_test::ThreadCount;
using talvik_test::UdpPeer;
using Bytes = std::vector<uint8_t>;

class ByeCounter : public IRTCPHandlerUser {
public:
    void OnRTCPBye() override {
        ++byes;
        waiter.Notify();
    }
    std::atomic<int> byes{0};
    talvik_test::Waiter waiter;
};

// SR from SSRC `ssrc` whose NTP time has `lsr` as its middle 32 bits.
Bytes SenderReport(uint32_t ssrc, uint32_t lsr) {
    Bytes sr = Hex("80C80006 00000000 E89A0000 0000F5C2 000DBBA0 0000012C 00057E40");
    Put32(sr, 4, ssrc);
    Put32(sr, 10, lsr);
    return sr;
}

const Bytes kSdes = Hex("81CA0003 5A1C0D3E 0103 63616D 000000");  // CNAME "cam"
const Bytes kBye = Hex("81CB0001 5A1C0D3E");

Bytes Head(const Bytes& bytes, size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + n);
}

Bytes SsrcBytes(const rtcp::Word& word) {
    return Bytes(word.begin(), word.end());
}

uint32_t Be32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// Reads datagrams until a receiver report satisfying `accept` arrives.
template <typename Accept>
bool ReceiveReport(const UdpPeer& peer, Bytes& report, Accept accept) {
    for (int i = 0; i < 1000; ++i) {
        if (!peer.Receive(report)) return false;
        if (report.size() == 32 && report[1] == 201 && accept(report)) return true;
    }
    return false;
}

bool NothingPending(const UdpPeer& peer) {
    Bytes ignored;
    return !peer.Receive(ignored, 0);
}

class RTCPHandlerTest : public ::testing::Test {
protected:
    talvik_test::RecordingLogger log;
    ByeCounter user;
    CRTCPHandler handler{&log};
    UdpPeer configured;  // the camera's RTCP port from the session set-up
    UdpPeer camera;      // where the camera's SRs come from

    void Start(uint32_t reportIntervalMs) {
        handler.SetUser(&user);
        handler.SetReportInterval(reportIntervalMs);
        handler.SetCameraRtcpPort(configured.Port());
        ASSERT_TRUE(handler.Start(Loopback(), 0));
        ASSERT_NE(handler.GetPort(), 0);
    }
};

TEST_F(RTCPHandlerTest, WithoutSrReportsGoToConfiguredPortWithAddressAsSource) {
    Start(50);
    for (uint16_t seq : {65534, 65535, 0, 1})
        handler.OnRtpSequence(seq);
    Bytes rr;
    ASSERT_TRUE(ReceiveReport(configured, rr, [](const Bytes& r) { return Be32(r, 16) == 65537; }));
    const Bytes expected = Concat({Bytes{0x81, 0xC9, 0x00, 0x07}, SsrcBytes(handler.GetOwnSsrc()),
                                   Bytes{0x01, 0x00, 0x00, 0x7F},  // 127.0.0.1 reversed
                                   Bytes{0, 0, 0, 0}, Bytes{0x00, 0x01, 0x00, 0x01},
                                   Bytes{0, 0, 0, 0}, Bytes{0, 0, 0, 0}, Bytes{0, 0, 0, 0}});
    EXPECT_EQ(rr, expected);
}

// An SR from another address than the camera's is ignored.
TEST_F(RTCPHandlerTest, SrIsAnsweredAtOnceToItsSenderAndStopSaysBye) {
    Start(CRTCPHandler::kReportIntervalMs);
    const int threadsRunning = ThreadCount();
    handler.OnRtpSequence(1000);
    UdpPeer stranger(IPv4Address(127, 0, 0, 2));
    // Only where a second loopback address really sends from itself (not under Wine).
    if (stranger.SourceSeenBy(UdpPeer()) == IPv4Address(127, 0, 0, 2)) {
        ASSERT_TRUE(stranger.SendTo(handler.GetPort(), SenderReport(0x11111111, 0x22222222)));
    }
    ASSERT_TRUE(
        camera.SendTo(handler.GetPort(), Concat({SenderReport(0x5A1C0D3E, 0x2B105C28), kSdes})));
    Bytes rr;
    ASSERT_TRUE(ReceiveReport(camera, rr, [](const Bytes&) { return true; }));
    EXPECT_EQ(Bytes(rr.begin(), rr.begin() + 4), (Bytes{0x81, 0xC9, 0x00, 0x07}));
    EXPECT_EQ(Bytes(rr.begin() + 4, rr.begin() + 8), SsrcBytes(handler.GetOwnSsrc()));
    EXPECT_EQ(Be32(rr, 8), 0x5A1C0D3Eu) << "source is the SR's SSRC";
    EXPECT_EQ(Be32(rr, 16), 1000u);
    EXPECT_EQ(Be32(rr, 24), 0x2B105C28u) << "LSR: middle of the SR's NTP time";
    EXPECT_LT(Be32(rr, 28), 10u * 65536) << "DLSR counts from the SR's arrival";
    EXPECT_TRUE(handler.SenderReportReceived());

    const rtcp::Word ssrc = handler.GetOwnSsrc();
    handler.Stop();
    EXPECT_TRUE(talvik_test::WaitForThreadCount(threadsRunning - 2))
        << "handler and socket threads";
    Bytes bye;
    ASSERT_TRUE(camera.Receive(bye));
    EXPECT_EQ(bye, Concat({Bytes{0x81, 0xCB, 0x00, 0x01}, SsrcBytes(ssrc)}));
    EXPECT_TRUE(NothingPending(camera)) << "one BYE at stop";
    EXPECT_TRUE(NothingPending(configured));
    EXPECT_TRUE(NothingPending(stranger));
    EXPECT_EQ(handler.GetPort(), 0);
}

struct ByeCase {
    const char* name;
    std::vector<Bytes> datagrams;  // sent before the final SR that marks the end
    int byes;
};

class RTCPByeTest : public RTCPHandlerTest, public ::testing::WithParamInterface<ByeCase> {};

// A BYE counts only after an SR; the final SR's answer shows everything before
// it was handled.
TEST_P(RTCPByeTest, NotifiesOnlyAfterSr) {
    Start(100);
    for (const Bytes& d : GetParam().datagrams)
        ASSERT_TRUE(camera.SendTo(handler.GetPort(), d));
    ASSERT_TRUE(camera.SendTo(handler.GetPort(), SenderReport(0x5A1C0D3E, 0xFEEDF00D)));
    Bytes rr;
    ASSERT_TRUE(
        ReceiveReport(camera, rr, [](const Bytes& r) { return Be32(r, 24) == 0xFEEDF00D; }));
    EXPECT_EQ(user.byes.load(), GetParam().byes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RTCPByeTest,
    ::testing::Values(ByeCase{"ByeWithoutSrIgnored", {kBye}, 0},
                      ByeCase{"ByeAfterSr", {kBye, SenderReport(1, 1), kBye}, 1},
                      ByeCase{"SecondByeNeedsAnotherSr", {SenderReport(1, 1), kBye, kBye}, 1},
                      ByeCase{"TruncatedSrIgnored", {Head(SenderReport(1, 1), 20), kBye}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RTCPHandlerTest, ResetSaysByeAndTakesNewSsrc) {
    Start(CRTCPHandler::kReportIntervalMs);
    const rtcp::Word first = handler.GetOwnSsrc();
    handler.SignalReset();
    Bytes bye;
    ASSERT_TRUE(configured.Receive(bye));
    EXPECT_EQ(bye, Concat({Bytes{0x81, 0xCB, 0x00, 0x01}, SsrcBytes(first)}));
    bool changed = false;
    for (int i = 0; i < 2000 && !changed; ++i) {
        changed = handler.GetOwnSsrc() != first;
        if (!changed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(changed);
}

}  // namespace
}  // namespace talvik

#include "rtsp/RTCPHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "Loopback.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using talvik_test::Hex;
using talvik_test::UdpPeer;
using Bytes = std::vector<uint8_t>;

// An SR from SSRC 5A1C0D3E whose NTP time has `lsr` (8 hex digits) as its middle 32 bits.
std::string SenderReport(const std::string& lsr) {
    return "80C80006 5A1C0D3E E89A" + lsr + "F5C2 000DBBA0 0000012C 00057E40";
}

uint32_t Be32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The packet's first word, the handler's SSRC, then the rest.
Bytes OwnPacket(const char* head, const rtcp::Word& ssrc, const char* rest = "") {
    Bytes packet = Hex(head), tail = Hex(rest);
    packet.insert(packet.end(), ssrc.begin(), ssrc.end());
    packet.insert(packet.end(), tail.begin(), tail.end());
    return packet;
}

// Reads datagrams until one of RTCP packet type `type` satisfying `accept`
// arrives; empty on time-out.
template <typename Accept>
Bytes Next(const UdpPeer& peer, uint8_t type, Accept accept) {
    Bytes datagram;
    for (int i = 0; i < 1000 && peer.Receive(datagram); ++i)
        if (datagram.size() >= 8 && datagram[1] == type && accept(datagram)) return datagram;
    return {};
}

struct Rig : IRTCPHandlerUser {
    void OnRTCPBye() override { ++byes; }

    std::atomic<int> byes{0};
    talvik_test::RecordingLogger log;
    CRTCPHandler handler{&log};
    UdpPeer configured;  // the camera's RTCP port from the session set-up
    UdpPeer camera;      // where the camera's SRs come from

    void Start(uint32_t reportIntervalMs) {
        handler.SetUser(this);
        handler.SetReportInterval(reportIntervalMs);
        handler.SetCameraRtcpPort(configured.Port());
        ASSERT_TRUE(handler.Start(talvik_test::kLoopback, 0));
    }
};

// Without an SR, reports go to the configured port, with the camera's address
// as the source; a reset says BYE there and takes a new SSRC.
TEST(RTCPHandler, WithoutSrReportsGoToConfiguredPortAndResetSaysBye) {
    Rig r;
    r.Start(50);
    for (uint16_t seq : {65534, 65535, 0, 1})
        r.handler.OnRtpSequence(seq);
    const rtcp::Word first = r.handler.GetOwnSsrc();
    EXPECT_EQ(Next(r.configured, 201, [](const Bytes& rr) { return Be32(rr, 16) == 65537; }),
              OwnPacket("81C90007", first,  // 127.0.0.1 reversed
                        "0100007F 00000000 00010001 00000000 00000000 00000000"));
    r.handler.SignalReset();
    EXPECT_EQ(Next(r.configured, 203, [](const Bytes&) { return true; }),
              OwnPacket("81CB0001", first));
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return r.handler.GetOwnSsrc() != first; }));
}

TEST(RTCPHandler, SrIsAnsweredAtOnceToItsSenderAndStopSaysBye) {
    Rig r;
    r.Start(CRTCPHandler::kReportIntervalMs);
    const int threadsRunning = talvik_test::ThreadCount();
    r.handler.OnRtpSequence(1000);
    UdpPeer stranger(IPv4Address(127, 0, 0, 2));
#ifndef _WIN32  // Wine sends from 127.0.0.1 whatever loopback address a socket has
    ASSERT_TRUE(stranger.SendTo(r.handler.GetPort(), Hex(SenderReport("22222222"))));
#endif
    // With an SDES (CNAME "cam") in the same compound.
    ASSERT_TRUE(r.camera.SendTo(r.handler.GetPort(), Hex(SenderReport("2B105C28") +
                                                         "81CA0003 5A1C0D3E 0103 63616D 000000")));
    const Bytes rr = Next(r.camera, 201, [](const Bytes&) { return true; });
    ASSERT_EQ(rr.size(), 32u);
    EXPECT_EQ(Bytes(rr.begin(), rr.begin() + 8), OwnPacket("81C90007", r.handler.GetOwnSsrc()));
    EXPECT_EQ(Be32(rr, 8), 0x5A1C0D3Eu) << "source is the SR's SSRC";
    EXPECT_EQ(Be32(rr, 16), 1000u);
    EXPECT_EQ(Be32(rr, 24), 0x2B105C28u) << "LSR: middle of the SR's NTP time";
    EXPECT_LT(Be32(rr, 28), 10u * 65536) << "DLSR counts from the SR's arrival";
    EXPECT_TRUE(r.handler.SenderReportReceived());

    const rtcp::Word ssrc = r.handler.GetOwnSsrc();
    r.handler.Stop();
    EXPECT_TRUE(talvik_test::WaitForThreadCount(threadsRunning - 1))
        << "the socket thread, the handler's only one";
    Bytes bye;
    ASSERT_TRUE(r.camera.Receive(bye));
    EXPECT_EQ(bye, OwnPacket("81CB0001", ssrc));
    for (const UdpPeer* peer : {&r.camera, &r.configured, &stranger})
        EXPECT_FALSE(peer->Receive(bye, 0)) << "one BYE at stop, to the camera";
    EXPECT_EQ(r.handler.GetPort(), 0);
}

// Datagrams that are no SR, faster than the report interval, keep the socket
// thread's waits from running out: the reports still go out.
TEST(RTCPHandler, ReportsKeepComingWhileStrangersKeepTheSocketBusy) {
    Rig r;
    r.Start(300);
    const rtcp::Word ssrc = r.handler.GetOwnSsrc();
    UdpPeer stranger;
    std::atomic<bool> done{false};
    std::thread flood([&] {
        while (!done) {
            stranger.SendTo(r.handler.GetPort(), Hex("80C90001 00000001"));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    int reports = 0;
    for (; reports < 3; ++reports)
        if (Next(r.configured, 201, [](const Bytes&) { return true; }).empty()) break;
    done = true;
    flood.join();
    EXPECT_EQ(reports, 3);
    r.handler.Stop();
    EXPECT_EQ(Next(r.configured, 203, [](const Bytes&) { return true; }),
              OwnPacket("81CB0001", ssrc));
}

// The final SR's answer shows everything sent before it was handled.
TEST(RTCPHandler, ByeNotifiesOnlyAfterSr) {
    for (const auto& row : test::DataRows("rtsp/data/rtcp_bye.txt")) {
        Rig r;
        r.Start(100);
        std::istringstream datagrams(row[1]);
        for (std::string hex; std::getline(datagrams, hex, ',');)
            ASSERT_TRUE(r.camera.SendTo(r.handler.GetPort(), Hex(hex)));
        ASSERT_TRUE(r.camera.SendTo(r.handler.GetPort(), Hex(SenderReport("FEEDF00D"))));
        EXPECT_FALSE(Next(r.camera, 201, [](const Bytes& rr) {
                         return Be32(rr, 24) == 0xFEEDF00D;
                     }).empty());
        EXPECT_EQ(r.byes.load(), std::stoi(row[2])) << row[0];
    }
}

}  // namespace
}  // namespace talvik

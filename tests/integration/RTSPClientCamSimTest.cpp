// End to end: the RTSP client against camsim's RTSP server (gst-rtsp-server),
// over UDP and interleaved TCP, without authentication, with Basic and Digest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/Debug.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTSPClient.h"
#include "support/CamSim.h"
#include "support/RecordingLogger.h"
#include "support/UdpPeer.h"

namespace talvik {
namespace {

class CountingUser : public IRTSPClientUser {
public:
    bool OnRTSPSessionReady(RTSPSessionInfo* info) override {
        payloadType = info->media[kVideoSlot].payloadType;
        parameterSets = info->parameterSets.size();
        contentBase = info->contentBase;
        ready = true;
        return true;
    }
    void OnInterleavedPacket(CRTPPacket* packet) override {
        if (packet->payloadType == 96) ++packets;
    }
    void OnRTSPClientStopped() override { ++stopped; }

    std::atomic<bool> ready{false};
    std::atomic<int> packets{0};
    std::atomic<int> stopped{0};
    std::atomic<int> payloadType{0};
    std::atomic<size_t> parameterSets{0};
    std::string contentBase;  // read after Stop
};

// RTP packets that reach `rtp`, stopping at `wanted` or after 10 s of quiet.
int ReceiveRtp(const talvik_test::UdpPeer& rtp, int wanted) {
    int count = 0;
    std::vector<uint8_t> datagram;
    CRTPPacket packet;
    while (count < wanted && rtp.Receive(datagram, 10000))
        count += packet.Parse(datagram.data(), datagram.size()) ? 1 : 0;
    return count;
}

RTSPClientSettings Settings(const test::CamSim& sim, const std::string& path,
                            const std::string& password) {
    RTSPClientSettings settings;
    settings.host = "127.0.0.1";
    settings.serverPort = sim.RtspPort();
    settings.path = path;
    settings.user = "viewer";
    settings.password = password;
    return settings;
}

struct SessionCase {
    const char* name;
    uint32_t mode;
    const char* auth;
};

class RTSPClientAgainstCamSim : public ::testing::TestWithParam<SessionCase> {};

TEST_P(RTSPClientAgainstCamSim, DescribeSetupPlayTeardown) {
    const SessionCase& c = GetParam();
    std::string error;
    auto sim =
        test::CamSim::Start({"--auth", c.auth, "--user", "viewer", "--password", "pa55"}, &error);
    ASSERT_TRUE(sim) << error;

    talvik_test::UdpPeer rtp;
    talvik_test::RecordingLogger logger;
    CountingUser user;
    CBaseRTSPClient client(&logger);
    // The query is our stream choice; SETUP and PLAY go to the Content-Base.
    RTSPClientSettings settings = Settings(*sim, "/h264.sdp?res=full&x1=320&y1=240&fps=10", "pa55");
    settings.clientRtpPort = rtp.Port();
    settings.clientRtcpPort = static_cast<uint16_t>(rtp.Port() + 1);
    ASSERT_TRUE(client.Start(settings, &user, c.mode));

    if (c.mode == kRTSPTransportInterleaved) {
        for (int i = 0; i < 200 && user.packets < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_GE(user.packets, 20);
    } else {
        EXPECT_EQ(20, ReceiveRtp(rtp, 20));
    }
    EXPECT_TRUE(user.ready);
    EXPECT_EQ(96, user.payloadType);
    EXPECT_EQ(1u, user.parameterSets);

    client.Stop();
    // gst-rtsp-server's Content-Base drops our query; SETUP and PLAY went there.
    EXPECT_EQ("rtsp://127.0.0.1:" + std::to_string(sim->RtspPort()) + "/h264.sdp/",
              user.contentBase);
    EXPECT_EQ(1, user.stopped);
    for (int i = 0; i < 100 && sim->Counter("teardowns") < 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(1, sim->Counter("teardowns"));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RTSPClientAgainstCamSim,
    ::testing::Values(SessionCase{"UdpNoAuth", kRTSPTransportUdp, "none"},
                      SessionCase{"UdpBasic", kRTSPTransportUdp, "basic"},
                      SessionCase{"UdpDigest", kRTSPTransportUdp, "digest"},
                      SessionCase{"InterleavedNoAuth", kRTSPTransportInterleaved, "none"},
                      SessionCase{"InterleavedBasic", kRTSPTransportInterleaved, "basic"},
                      SessionCase{"InterleavedDigest", kRTSPTransportInterleaved, "digest"}),
    [](const ::testing::TestParamInfo<SessionCase>& info) { return std::string(info.param.name); });

TEST(RTSPClientAgainstCamSimAuth, WrongPasswordEndsTheRunWithoutSession) {
    std::string error;
    auto sim =
        test::CamSim::Start({"--auth", "digest", "--user", "viewer", "--password", "pa55"}, &error);
    ASSERT_TRUE(sim) << error;
    talvik_test::RecordingLogger logger;
    CountingUser user;
    CBaseRTSPClient client(&logger);
    ASSERT_TRUE(client.Start(Settings(*sim, "/h264.sdp?x1=160&y1=120", "wrong"), &user,
                             kRTSPTransportInterleaved));
    for (int i = 0; i < 200 && user.stopped == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(1, user.stopped);
    EXPECT_FALSE(user.ready);
    client.Stop();
    EXPECT_EQ(401u, client.GetSessionInfo().statusCode);
}

}  // namespace
}  // namespace talvik

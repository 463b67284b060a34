// End to end: the RTSP client against camsim's RTSP server (gst-rtsp-server),
// over UDP and interleaved TCP, without authentication, with Basic and Digest.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/Debug.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTSPClient.h"
#include "support/CamSim.h"
#include "support/RecordingLogger.h"

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

// A bound UDP socket on a free loopback port that counts RTP datagrams.
class UdpSink {
public:
    UdpSink() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~UdpSink() { ::close(fd_); }
    uint16_t Port() const { return port_; }
    // RTP packets received within `limitMs`, stopping at `wanted`.
    int Receive(int wanted, int limitMs) {
        int count = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (count < wanted && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 200) != 1) continue;
            uint8_t buffer[2048];
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            CRTPPacket packet;
            if (n > 0 && packet.Parse(buffer, static_cast<size_t>(n))) ++count;
        }
        return count;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

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

    UdpSink rtp;
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
        EXPECT_EQ(20, rtp.Receive(20, 10000));
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

// The H.264 RTSP channel's own decisions: the camera requests before each
// connection, the RTSP settings it fills, the session descriptions it accepts
// and pause/resume. End-to-end streaming is covered against camsim in the
// integration tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChannelRig.h"
#include "base/Text.h"
#include "channels/RtspChannels.h"
#include "rtsp/RTPPacket.h"
#include "support/Threads.h"
#include "support/UdpPeer.h"

namespace talvik {
namespace {

using talvik_channels_test::FakeCamera;
using talvik_channels_test::Rig;
using talvik_channels_test::Serve;
using talvik_channels_test::SettingsDir;
using talvik_test::FakeDriver;
using talvik_test::FakeHost;

// Exposes the steps the capture loop runs.
class ProbeChannel : public CH264ChannelRTSP {
public:
    using CH264ChannelRTSP::CH264ChannelRTSP;
    using CH264ChannelRTSP::FillRTSPSettings;
};

// The channel runs against a camera whose RTSP port refuses: the requests of
// one preparation, then the same again on the next attempt.
TEST(RtspChannel, CameraRequestsBeforeTheSession) {
    using talvik_channels_test::U;
    for (const auto& c : talvik_channels_test::Rows("rtsp_preparation.txt")) {
        SCOPED_TRACE(c[0]);
        const std::string& expected = c[7];
        const size_t count = std::count(expected.begin(), expected.end(), ' ') + 1;
        FakeCamera camera;
        // Interleaved: no UDP port search before each attempt.
        SettingsDir settings(
            std::string("<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode>") +
            (c[1].empty() ? "" : "<IndoorLightFrequency>" + c[1] + "</IndoorLightFrequency>") +
            "</Default></Configuration>");
        Rig rig(Serve(camera, U(c[6])));
        rig.driver.hostDirectory = settings.Path();
        rig.driver.videoInputs = U(c[2]);
        rig.driver.parameters[2] = "1";  // nothing listens there
        rig.driver.device.timeoutMs = 300;
        rig.driver.device.dataTimeoutMs = 600;
        CH264ChannelRTSP channel(U(c[3]), &rig.driver, &rig.host);
        const STREAM_PARAMS params = rig.Params(U(c[5]), 3, U(c[4]));
        ASSERT_TRUE(channel.Start(&params));
        ASSERT_TRUE(camera.WaitFor("", count + 1, 20000));
        channel.Stop();
        std::string paths;  // one preparation and the start of the next attempt
        for (size_t i = 0; i <= count; ++i)
            paths += camera.Requests()[i] + (i < count ? " " : "");
        EXPECT_EQ(paths, expected + " /get?channelenable");
        EXPECT_EQ(rig.host.FrameCount(), 0u);
    }
}

// The server port comes from host parameter 2 when it is a port; pause and
// resume answer only on a change.
TEST(RtspChannel, ServerPortFromParameterTwoAndPauseResume) {
    const struct {
        const char* parameter;  // null: absent
        uint16_t port;
    } cases[] = {
        {"8554 rtsp", 8554}, {"0", 554}, {"99999", 554}, {nullptr, 1234}, {"(none)", 1234}};
    for (const auto& c : cases) {
        FakeDriver driver;
        FakeHost host;
        if (c.parameter != nullptr) driver.parameters[2] = c.parameter;
        ProbeChannel channel(0, &driver, &host);
        RTSPClientSettings settings;
        settings.serverPort = 1234;  // the client's default
        channel.FillRTSPSettings(settings);
        EXPECT_EQ(settings.serverPort, c.port) << (c.parameter ? c.parameter : "absent");
        EXPECT_EQ(settings.defaultSessionTimeout, 9u);
        EXPECT_EQ((std::vector<bool>{channel.Resume(), channel.Pause(), channel.Pause(),
                                     channel.Resume(), channel.Resume()}),
                  (std::vector<bool>{false, true, false, true, false}));
    }
}

// Only H.264 (or an unnamed encoding) is taken on.
TEST(RtspChannel, OnlyH264SessionsAreTakenOn) {
    for (const auto& c : talvik_channels_test::Rows("session_encodings.txt")) {
        FakeDriver driver;
        FakeHost host;
        driver.device.address = "10.0.0.5";
        driver.device.port = 80;
        CH264ChannelRTSP channel(0, &driver, &host);
        RTSPSessionInfo info;
        info.media[kVideoSlot].encoding = c[0];
        info.media[kVideoSlot].control = "stream=0";
        EXPECT_EQ(channel.OnRTSPSessionReady(&info), c[1] == "1") << c[0];
        const std::vector<talvik_test::LogLine> none, refused = {{1, c[2]}};
        EXPECT_EQ(driver.log.Lines(), c[2].empty() ? none : refused);
    }
}

// An RTSP camera on a raw socket that answers every request by its method,
// giving `serverPort` and the next one as its RTP and RTCP ports; it notes
// the client ports of each SETUP.
class RtspCamera {
public:
    explicit RtspCamera(uint16_t serverPort)
        : server_([this, serverPort](int fd, talvik_test::RawTcpServer& server) {
              for (std::string head; server.ReadRequestHead(fd, &head);) {
                  const size_t at = head.find("CSeq: ") + 6;
                  std::string answer =
                      "RTSP/1.0 200 OK\r\nCSeq: " + head.substr(at, head.find("\r\n", at) - at) +
                      "\r\n";
                  if (head.compare(0, 9, "DESCRIBE ") == 0) {
                      const std::string sdp =
                          "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=camera\r\nt=0 0\r\nm=video 0 "
                          "RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:stream=0\r\n";
                      answer += "Content-Type: application/sdp\r\nContent-Base: rtsp://127.0.0.1:" +
                                std::to_string(server.Port()) +
                                "/h264.sdp/\r\nContent-Length: " + std::to_string(sdp.size()) +
                                "\r\n\r\n" + sdp;
                  } else if (head.compare(0, 6, "SETUP ") == 0) {
                      std::lock_guard<std::mutex> guard(mutex_);
                      const size_t ports = head.find("client_port=");
                      setups_ += head.substr(ports, head.find_first_of(";\r", ports) - ports);
                      answer +=
                          "Transport: RTP/AVP;unicast;server_port=" + std::to_string(serverPort) +
                          "-" + std::to_string(serverPort + 1) +
                          "\r\nSession: 4711;timeout=60\r\n\r\n";
                  } else {
                      answer += "Session: 4711\r\n\r\n";
                  }
                  if (!server.WriteAll(fd, answer)) return;
              }
          }) {}
    uint16_t Port() const { return server_.Port(); }
    std::string Setups() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return setups_;
    }

private:
    mutable std::mutex mutex_;
    std::string setups_;
    talvik_test::RawTcpServer server_;
};

// Sends its second session's receiver reports twice a second.
class QuickReportChannel : public CH264ChannelRTSP {
public:
    QuickReportChannel(uint32_t input, IDriver* driver, IHostFrameSink* sink)
        : CH264ChannelRTSP(input, driver, sink) {
        rtcp2_.SetReportInterval(500);
    }
};

// The next RTCP packet at `peer` within 20 s: its type and sender port.
bool ReceiveRtcp(const talvik_test::UdpPeer& peer, int* type, uint16_t* fromPort) {
    pollfd p{peer.Fd(), POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) return false;
    uint8_t packet[1500];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(peer.Fd(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 8) return false;
    *type = packet[1];
    *fromPort = ntohs(from.sin_port);
    return true;
}

// Host parameter 5 "0": a second port pair is opened after the first one,
// its receiver reports go to the camera's RTCP port + 2, and both pairs are
// closed at the stop (end to end: no port left open). The camera is asked
// for one session only.
TEST(RtspChannel, ParameterFiveZeroOpensAndClosesTheSecondSession) {
    FakeCamera http;
    Serve(http, 200);
    talvik_test::UdpPeer secondRtcp;  // the camera's RTCP port + 2
    const uint16_t serverRtpPort = uint16_t(secondRtcp.Port() - 3);
    RtspCamera rtsp(serverRtpPort);
    Rig rig(http.Serve());
    rig.driver.parameters[2] = std::to_string(rtsp.Port());
    rig.driver.parameters[5] = "0";
    // No frames come: a long quiet wait keeps the session from being renewed.
    rig.driver.device.timeoutMs = 10000;
    rig.driver.device.dataTimeoutMs = 20000;
    QuickReportChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(40, 3, 1);
    ASSERT_TRUE(channel.Start(&params));
    int type = 0;
    uint16_t reportPort = 0;
    ASSERT_TRUE(ReceiveRtcp(secondRtcp, &type, &reportPort));
    EXPECT_EQ(type, 201) << "a receiver report";
    // The ports come from the wire: the receivers belong to the capture thread.
    const uint16_t second = uint16_t(reportPort - 1);
    EXPECT_EQ(second % 2, 0);
    const std::string setups = rtsp.Setups();
    const unsigned first = unsigned(std::atoi(setups.c_str() + 12));
    EXPECT_EQ(setups, "client_port=" + std::to_string(first) + "-" + std::to_string(first + 1))
        << "one SETUP, for the first pair";
    EXPECT_GT(second, first);
    channel.Stop();
    do {
        ASSERT_TRUE(ReceiveRtcp(secondRtcp, &type, &reportPort));
    } while (type != 203);
    EXPECT_EQ(reportPort, second + 1) << "the BYE of the second session";
    EXPECT_EQ(channel.GetRtpPort(), 0);
    EXPECT_EQ(channel.GetSecondRtpPort(), 0);
}

// A host whose OnFrame returns only when the test lets it.
class SlowHost : public FakeHost {
public:
    bool OnFrame(IHostFrame* frame) override {
        entered.Set();
        release.Wait(20000);
        return FakeHost::OnFrame(frame);
    }
    CManualEvent entered;
    CManualEvent release;
};

// While the host sits in OnFrame the capture thread goes on with its
// attempts (each one resets the time converter the parser uses) and stops
// in time; the frame is delivered once the host returns.
TEST(RtspChannel, SlowHostFrameHoldsUpNeitherCaptureNorStop) {
    FakeCamera camera;
    Serve(camera, 200);
    SettingsDir settings(
        "<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode></Default></Configuration>");
    Rig rig(camera.Serve());
    SlowHost host;
    rig.driver.allocator = &host;
    rig.driver.hostDirectory = settings.Path();
    rig.driver.parameters[2] = "1";  // nothing listens there: every attempt fails
    CH264ChannelRTSP channel(0, &rig.driver, &host);
    const STREAM_PARAMS params = rig.Params(40, 3, 1);
    ASSERT_TRUE(channel.Start(&params));
    ASSERT_TRUE(camera.WaitFor("/get?channelenable", 1, 10000));

    RTSPSessionInfo info;
    info.media[kVideoSlot].encoding = "H264/90000";
    H264ParameterSetEntry sets;  // sprop-parameter-sets=Z0IAHpWoLQSZ,aM4xsg==
    sets.payloadType = 96;
    sets.sps = {0x67, 0x42, 0x00, 0x1e, 0x95, 0xa8, 0x2d, 0x04, 0x99};
    sets.pps = {0x68, 0xce, 0x31, 0xb2};
    info.parameterSets.push_back(sets);
    ASSERT_TRUE(channel.OnRTSPSessionReady(&info));
    // One IDR slice in one packet with the marker bit: a whole frame.
    const uint8_t bytes[] = {0x80, 0xE0, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4, 0x65, 0x88, 0x84, 0x00};
    CRTPPacket packet;
    ASSERT_TRUE(packet.Parse(bytes, sizeof(bytes)));
    std::thread feeder([&] { channel.OnInterleavedPacket(&packet); });
    ASSERT_TRUE(host.entered.Wait(10000));

    const size_t attempts = camera.TimesOf("/get?channelenable").size();
    EXPECT_TRUE(camera.WaitFor("/get?channelenable", attempts + 2, 10000))
        << "the capture thread waits for the host";
    channel.Stop();
    EXPECT_EQ(rig.driver.log.Count(2), 0u) << "the capture thread had to be terminated";
    host.release.Set();
    feeder.join();
    EXPECT_EQ(host.FrameCount(), 1u);
}

// "camera.test" resolves to 127.0.0.1 once the flag is set; nothing else does.
std::atomic<bool> g_cameraNameResolves{false};
uint32_t TestResolver(const std::string& host) {
    return host == "camera.test" && g_cameraNameResolves ? htonl(INADDR_LOOPBACK) : 0;
}

// RTP over UDP without the RTSP side: the ports and RTCP of each connect.
class UdpProbeChannel : public CBaseRTPChannel {
public:
    using CBaseRTPChannel::CameraAddress;
    using CBaseRTPChannel::CBaseRTPChannel;
    ~UdpProbeChannel() override { Stop(); }
    uint16_t RtcpPort() { return rtcp_.GetPort(); }

protected:
    bool PrepareCamera() override { return true; }
};

// A name that does not resolve is a failed connect, told as signal loss and
// retried; once it resolves, the next connect streams from its address.
TEST(RtpChannel, CameraNameIsResolvedAtEachConnect) {
    SetHostResolver(&TestResolver);
    g_cameraNameResolves = false;
    Rig rig(1);
    rig.driver.device.address = "camera.test";
    rig.driver.device.timeoutMs = 300;
    rig.driver.device.dataTimeoutMs = 600;
    UdpProbeChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(40, 3, 1);
    ASSERT_TRUE(channel.Start(&params));
    EXPECT_TRUE(rig.host.WaitForSignalLost(1, 20000));
    EXPECT_EQ(channel.RtcpPort(), 0);
    g_cameraNameResolves = true;
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return channel.RtcpPort() != 0; }, 20000));
    EXPECT_EQ(channel.CameraAddress(), htonl(INADDR_LOOPBACK));
    channel.Stop();
    SetHostResolver(nullptr);
}

}  // namespace
}  // namespace talvik

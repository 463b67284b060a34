// The H.264 RTSP channel's own decisions: the camera requests before each
// connection, the RTSP settings it fills, the session descriptions it accepts,
// its second port pair and pause/resume. End-to-end streaming is covered
// against camsim in the integration tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ChannelRig.h"
#include "base/Text.h"
#include "channels/RtspChannels.h"
#include "rtsp/RTPPacket.h"
#include "support/Threads.h"

namespace talvik {
namespace {

using talvik_channels_test::FakeCamera;
using talvik_channels_test::Rig;
using talvik_channels_test::Serve;
using talvik_channels_test::SettingsDir;
using talvik_channels_test::U;

// The channel runs against a camera whose RTSP port refuses: the requests of
// one preparation, then the same again on the next attempt.
TEST(RtspChannel, CameraRequestsBeforeTheSession) {
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

class ProbeChannel : public CH264ChannelRTSP {
public:
    using CH264ChannelRTSP::CH264ChannelRTSP;
    using CH264ChannelRTSP::FillRTSPSettings;
};

// The server port comes from host parameter 2 when it is a port; pause and
// resume answer only on a change; only H.264 (or an unnamed encoding) is
// taken on.
TEST(RtspChannel, ServerPortPauseResumeAndEncoding) {
    const std::vector<std::pair<const char*, uint16_t>> ports = {
        {"8554 rtsp", 8554}, {"0", 554}, {"99999", 554}, {nullptr, 1234}, {"(none)", 1234}};
    for (const auto& c : ports) {
        Rig rig(80);
        if (c.first != nullptr) rig.driver.parameters[2] = c.first;
        ProbeChannel channel(0, &rig.driver, &rig.host);
        RTSPClientSettings settings;
        settings.serverPort = 1234;  // the client's default
        channel.FillRTSPSettings(settings);
        EXPECT_EQ(settings.serverPort, c.second) << (c.first ? c.first : "absent");
        EXPECT_EQ(settings.defaultSessionTimeout, 9u);
        EXPECT_EQ((std::vector<bool>{channel.Resume(), channel.Pause(), channel.Pause(),
                                     channel.Resume(), channel.Resume()}),
                  (std::vector<bool>{false, true, false, true, false}));
    }
    for (const auto& c : talvik_channels_test::Rows("session_encodings.txt")) {
        Rig rig(80);
        rig.driver.device.address = "10.0.0.5";
        CH264ChannelRTSP channel(0, &rig.driver, &rig.host);
        RTSPSessionInfo info;
        info.media[kVideoSlot].encoding = c[0];
        EXPECT_EQ(channel.OnRTSPSessionReady(&info), c[1] == "1") << c[0];
        const std::vector<talvik_test::LogLine> none, refused = {{1, c[2]}};
        EXPECT_EQ(rig.driver.log.Lines(), c[2].empty() ? none : refused);
    }
}

// An H.264 session whose camera sends RTCP from `serverRtcpPort`.
RTSPSessionInfo H264Session(uint32_t serverRtcpPort) {
    RTSPSessionInfo info;
    info.serverRtcpPort = serverRtcpPort;
    info.media[kVideoSlot].encoding = "H264/90000";
    H264ParameterSetEntry sets;  // sprop-parameter-sets=Z0IAHpWoLQSZ,aM4xsg==
    sets.payloadType = 96;
    sets.sps = {0x67, 0x42, 0x00, 0x1e, 0x95, 0xa8, 0x2d, 0x04, 0x99};
    sets.pps = {0x68, 0xce, 0x31, 0xb2};
    info.parameterSets.push_back(sets);
    return info;
}

// Sends its second session's receiver reports twice a second.
class QuickReportChannel : public CH264ChannelRTSP {
public:
    QuickReportChannel(uint32_t input, IDriver* driver, IHostFrameSink* sink)
        : CH264ChannelRTSP(input, driver, sink) {
        rtcp2_.SetReportInterval(500);
    }
};

// The next RTCP packet at the socket within 20 s: its type and sender port.
bool ReceiveRtcp(int fd, int* type, uint16_t* fromPort) {
    pollfd p{fd, POLLIN, 0};
    uint8_t packet[1500];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    if (poll(&p, 1, 20000) != 1 ||
        recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length) < 8)
        return false;
    *type = packet[1];
    *fromPort = ntohs(from.sin_port);
    return true;
}

// Host parameter 5 "0": a second port pair is opened, its receiver reports go
// to the camera's RTCP port + 2, and both pairs are closed at the stop.
TEST(RtspChannel, ParameterFiveZeroOpensAndClosesTheSecondSession) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);  // the camera's RTCP port + 2
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), length), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    FakeCamera http;
    // Takes the session and never answers: no frames, no renewal.
    talvik_test::RawTcpServer rtsp(
        [](int client, talvik_test::RawTcpServer& s) { s.HoldOpen(client); });
    Rig rig(Serve(http, 200));
    rig.driver.parameters[2] = std::to_string(rtsp.Port());
    rig.driver.parameters[5] = "0";
    rig.driver.device.timeoutMs = 10000;
    rig.driver.device.dataTimeoutMs = 20000;
    QuickReportChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(40, 3, 1);
    ASSERT_TRUE(channel.Start(&params));
    RTSPSessionInfo info = H264Session(ntohs(local.sin_port) - 2u);
    ASSERT_TRUE(channel.OnRTSPSessionReady(&info));
    int type = 0;
    uint16_t reportPort = 0;
    ASSERT_TRUE(ReceiveRtcp(fd, &type, &reportPort));
    EXPECT_EQ(type, 201) << "a receiver report";
    // The ports come from the wire: the receivers belong to the capture thread.
    const uint16_t second = uint16_t(reportPort - 1);
    EXPECT_EQ(second % 2, 0);
    channel.Stop();
    do {
        ASSERT_TRUE(ReceiveRtcp(fd, &type, &reportPort));
    } while (type != 203);
    EXPECT_EQ(reportPort, second + 1) << "the BYE of the second session";
    EXPECT_EQ(channel.GetRtpPort(), 0);
    EXPECT_EQ(channel.GetSecondRtpPort(), 0);
    close(fd);
}

// A host whose OnFrame returns only when the test lets it.
class SlowHost : public talvik_test::FakeHost {
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
    SettingsDir settings(
        "<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode></Default></Configuration>");
    Rig rig(Serve(camera, 200));
    SlowHost host;
    rig.driver.allocator = &host;
    rig.driver.hostDirectory = settings.Path();
    rig.driver.parameters[2] = "1";  // nothing listens there: every attempt fails
    CH264ChannelRTSP channel(0, &rig.driver, &host);
    const STREAM_PARAMS params = rig.Params(40, 3, 1);
    ASSERT_TRUE(channel.Start(&params));
    ASSERT_TRUE(camera.WaitFor("/get?channelenable", 1, 10000));
    RTSPSessionInfo info = H264Session(0);
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

// RTP over UDP without the RTSP side.
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

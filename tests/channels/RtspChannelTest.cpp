// The H.264 RTSP channel's own decisions: the camera requests before each
// connection, the RTSP settings it fills, the session descriptions it accepts
// and pause/resume. End-to-end streaming is covered against camsim in the
// integration tests.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include <atomic>

#include "ChannelRig.h"
#include "base/Text.h"
#include "channels/RtspChannels.h"

namespace talvik {
namespace {

using talvik_channels_test::Camera;
using talvik_channels_test::LightXml;
using talvik_channels_test::Rig;
using talvik_channels_test::SettingsDir;
using talvik_test::FakeDriver;
using talvik_test::FakeHost;

// Exposes the steps the capture loop runs.
class ProbeChannel : public CH264ChannelRTSP {
public:
    using CH264ChannelRTSP::CH264ChannelRTSP;
    using CH264ChannelRTSP::FillRTSPSettings;
};

struct PrepareCase {
    const char* name;
    const char* frequency;  // IndoorLightFrequency, null: no settings file
    uint32_t inputs, input, kind, intervalMs;
    unsigned status;       // the camera's answer to everything
    std::string expected;  // the paths of one preparation, space separated
};

class PrepareCamera : public ::testing::TestWithParam<PrepareCase> {};

// The channel runs against a camera whose RTSP port refuses: the requests of
// one preparation, then the same again on the next attempt.
TEST_P(PrepareCamera, RequestsBeforeTheSession) {
    const PrepareCase& c = GetParam();
    std::vector<std::string> expected;
    std::istringstream words(c.expected);
    for (std::string path; words >> path;)
        expected.push_back(path);
    Camera camera(c.status);
    SettingsDir settings(LightXml(c.frequency));
    Rig rig(camera.Port());
    rig.driver.hostDirectory = settings.Path();
    rig.driver.videoInputs = c.inputs;
    rig.driver.parameters[2] = "1";  // nothing listens there
    CH264ChannelRTSP channel(c.input, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(c.intervalMs, 3, c.kind);
    ASSERT_TRUE(channel.Start(&params));
    ASSERT_TRUE(camera.WaitFor("", expected.size() + 1, 20000));
    channel.Stop();
    const auto paths = camera.Paths();
    ASSERT_GT(paths.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.begin() + expected.size()), expected);
    EXPECT_EQ(paths[expected.size()], expected[0]) << "a failed attempt is repeated";
    EXPECT_EQ(rig.host.FrameCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrepareCamera,
    ::testing::Values(
        PrepareCase{"IntervalZeroWritesZero", nullptr, 1, 0, 0, 0, 200,
                    "/get?channelenable /setreg?page=3&reg=21&val=0"},
        PrepareCase{"SingleSensorLight50", "50", 1, 0, 0, 40, 200,
                    "/get?channelenable /set?freq=50 /setreg?page=3&reg=21&val=24"},
        PrepareCase{"FourSensorsInput2Light60", "60", 4, 2, 0, 200, 200,
                    "/get?channelenable /set3?freq=60"},
        PrepareCase{"LiveStreamOnlyChecksChannels", "50", 1, 0, 1, 40, 200, "/get?channelenable"},
        PrepareCase{"RefusedChannelCheckStops", "50", 1, 0, 0, 40, 404, "/get?channelenable"}),
    [](const ::testing::TestParamInfo<PrepareCase>& info) { return info.param.name; });

struct FpsCase {
    uint32_t intervalMs, fps;
};

class FramesPerSecondTable : public ::testing::TestWithParam<FpsCase> {};

TEST_P(FramesPerSecondTable, RoundsTheRate) {
    EXPECT_EQ(FramesPerSecond(GetParam().intervalMs), GetParam().fps);
}

INSTANTIATE_TEST_SUITE_P(Intervals, FramesPerSecondTable,
                         ::testing::Values(FpsCase{0, 1}, FpsCase{33, 30}, FpsCase{66, 15},
                                           FpsCase{1, 1000}));

struct PortCase {
    const char* parameter;  // null: absent
    uint16_t port;
};

class ServerPort : public ::testing::TestWithParam<PortCase> {};

TEST_P(ServerPort, FromHostParameterTwo) {
    FakeDriver driver;
    FakeHost host;
    if (GetParam().parameter != nullptr) driver.parameters[2] = GetParam().parameter;
    ProbeChannel channel(0, &driver, &host);
    RTSPClientSettings settings;
    settings.serverPort = 1234;  // the client's default
    channel.FillRTSPSettings(settings);
    EXPECT_EQ(settings.serverPort, GetParam().port);
    EXPECT_EQ(settings.defaultSessionTimeout, 9u);
}

INSTANTIATE_TEST_SUITE_P(Parameters, ServerPort,
                         ::testing::Values(PortCase{"8554 rtsp", 8554}, PortCase{"0", 554},
                                           PortCase{"99999", 554}, PortCase{nullptr, 1234},
                                           PortCase{"(none)", 1234}));

struct EncodingCase {
    const char* encoding;
    bool accepted;
    const char* message;
};

class SessionEncoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(SessionEncoding, OnlyH264IsTakenOn) {
    FakeDriver driver;
    FakeHost host;
    driver.device.address = "10.0.0.5";
    driver.device.port = 80;
    CH264ChannelRTSP channel(0, &driver, &host);
    RTSPSessionInfo info;
    info.media[kVideoSlot].encoding = GetParam().encoding;
    info.media[kVideoSlot].control = "stream=0";
    EXPECT_EQ(channel.OnRTSPSessionReady(&info), GetParam().accepted);
    const auto lines = driver.log.Lines();
    if (*GetParam().message == '\0') {
        EXPECT_TRUE(lines.empty());
    } else {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 1u);
        EXPECT_EQ(lines[0].text, GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, SessionEncoding,
    ::testing::Values(EncodingCase{"H264/90000", true, ""}, EncodingCase{"h264/90000", true, ""},
                      EncodingCase{"", true, ""},
                      EncodingCase{"MP4V-ES/90000", false,
                                   "talvik::CBaseRTSPChannel::SdpInfoReceived: Unable to handle "
                                   "RTP video data from device 10.0.0.5:80 - unexpected payload "
                                   "type \"MP4V-ES\""}));

TEST(RtspChannel, PauseAndResumeAnswerOnlyOnAChange) {
    FakeDriver driver;
    FakeHost host;
    CH264ChannelRTSP channel(0, &driver, &host);
    EXPECT_FALSE(channel.Resume());
    EXPECT_TRUE(channel.Pause());
    EXPECT_FALSE(channel.Pause());
    EXPECT_TRUE(channel.Resume());
    EXPECT_FALSE(channel.Resume());
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
    UdpProbeChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(40, 3, 1);
    ASSERT_TRUE(channel.Start(&params));
    EXPECT_TRUE(rig.host.WaitForSignalLost(1, 20000));
    EXPECT_EQ(channel.RtcpPort(), 0);
    g_cameraNameResolves = true;
    const auto end = talvik_channels_test::Clock::now() + std::chrono::seconds(20);
    while (channel.RtcpPort() == 0 && talvik_channels_test::Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(channel.RtcpPort(), 0);
    EXPECT_EQ(channel.CameraAddress(), htonl(INADDR_LOOPBACK));
    channel.Stop();
    SetHostResolver(nullptr);
}

}  // namespace
}  // namespace talvik

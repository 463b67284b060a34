// The H.264 RTSP channel's own decisions: the camera requests before each
// connection, the RTSP settings it fills, the session descriptions it accepts
// and pause/resume. End-to-end streaming is covered against camsim in the
// integration tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channels/RtspChannels.h"
#include "support/FakeHost.h"
#include "support/TestHttpServer.h"

namespace talvik {
namespace {

using Clock = std::chrono::steady_clock;
using talvik_test::FakeDriver;
using talvik_test::FakeHost;
using talvik_test::HttpExchange;
using talvik_test::HttpReply;
using talvik_test::TestHttpServer;

// Exposes the steps the capture loop runs.
class ProbeChannel : public CH264ChannelRTSP {
public:
    using CH264ChannelRTSP::CH264ChannelRTSP;
    using CH264ChannelRTSP::FillRTSPSettings;
};

class Camera {
public:
    explicit Camera(unsigned status)
        : server_({}, [this, status](const HttpExchange& e) {
              std::lock_guard<std::mutex> guard(mutex_);
              paths_.push_back(e.url);
              HttpReply reply;
              reply.status = status;
              reply.body = "ok\r\n";
              return reply;
          }) {}
    uint16_t Port() const { return server_.Port(); }
    std::vector<std::string> Paths() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return paths_;
    }
    bool WaitForCount(size_t count, int timeoutMs) const {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            if (Paths().size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
    TestHttpServer server_;
};

class SettingsDir {
public:
    explicit SettingsDir(const std::string& xml) {
        char pattern[] = "/tmp/talvik-rtspch-XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? std::string(pattern) + "/" : "";
        if (!xml.empty() && !dir_.empty()) {
            FILE* f = std::fopen((dir_ + "talvik_test.xml").c_str(), "w");
            std::fputs(xml.c_str(), f);
            std::fclose(f);
        }
    }
    ~SettingsDir() {
        std::remove((dir_ + "talvik_test.xml").c_str());
        rmdir(dir_.c_str());
    }
    const std::string& Path() const { return dir_; }

private:
    std::string dir_;
};

struct PrepareCase {
    const char* name;
    const char* frequency;  // IndoorLightFrequency, null: no settings file
    uint32_t inputs, input, kind, intervalMs;
    unsigned status;  // the camera's answer to everything
    std::vector<std::string> expected;
};

class PrepareCamera : public ::testing::TestWithParam<PrepareCase> {};

// The channel runs against a camera whose RTSP port refuses: the requests of
// one preparation, then the same again on the next attempt.
TEST_P(PrepareCamera, RequestsBeforeTheSession) {
    const PrepareCase& c = GetParam();
    Camera camera(c.status);
    SettingsDir settings(c.frequency == nullptr
                             ? std::string()
                             : std::string("<Configuration><Default><IndoorLightFrequency>") +
                                   c.frequency +
                                   "</IndoorLightFrequency></Default></Configuration>");
    FakeDriver driver;
    FakeHost host;
    driver.device.address = "127.0.0.1";
    driver.device.port = camera.Port();
    driver.device.timeoutMs = 2000;
    driver.device.dataTimeoutMs = 4000;
    driver.allocator = &host;
    driver.hostDirectory = settings.Path();
    driver.videoInputs = c.inputs;
    driver.parameters[2] = "1";  // nothing listens there
    CH264ChannelRTSP channel(c.input, &driver, &host);
    STREAM_PARAMS params;
    params.frameIntervalMs = c.intervalMs;
    params.width = 320;
    params.height = 180;
    params.quality = 50;
    params.codec = 3;
    params.kind = c.kind;
    ASSERT_TRUE(channel.Start(&params));
    ASSERT_TRUE(camera.WaitForCount(c.expected.size() + 1, 20000));
    channel.Stop();
    const auto paths = camera.Paths();
    ASSERT_GT(paths.size(), c.expected.size());
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.begin() + c.expected.size()),
              c.expected);
    EXPECT_EQ(paths[c.expected.size()], c.expected[0]) << "a failed attempt is repeated";
    EXPECT_EQ(host.FrameCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrepareCamera,
    ::testing::Values(
        PrepareCase{"SingleSensor25Fps",
                    nullptr,
                    1,
                    0,
                    0,
                    40,
                    200,
                    {"/get?channelenable", "/setreg?page=3&reg=21&val=24"}},
        PrepareCase{"IntervalZeroWritesZero",
                    nullptr,
                    1,
                    0,
                    0,
                    0,
                    200,
                    {"/get?channelenable", "/setreg?page=3&reg=21&val=0"}},
        PrepareCase{"SingleSensorLight50",
                    "50",
                    1,
                    0,
                    0,
                    40,
                    200,
                    {"/get?channelenable", "/set?freq=50", "/setreg?page=3&reg=21&val=24"}},
        PrepareCase{"FourSensorsInput2Light60",
                    "60",
                    4,
                    2,
                    0,
                    200,
                    200,
                    {"/get?channelenable", "/set3?freq=60"}},
        PrepareCase{"FourSensorsInput0",
                    "50",
                    4,
                    0,
                    0,
                    40,
                    200,
                    {"/get?channelenable", "/set1?freq=50", "/setreg?page=3&reg=100&val=24"}},
        PrepareCase{"LiveStreamOnlyChecksChannels", "50", 1, 0, 1, 40, 200, {"/get?channelenable"}},
        PrepareCase{"RefusedChannelCheckStops", "50", 1, 0, 0, 40, 404, {"/get?channelenable"}}),
    [](const ::testing::TestParamInfo<PrepareCase>& info) { return info.param.name; });

struct FpsCase {
    uint32_t intervalMs, fps;
};

class FramesPerSecondTable : public ::testing::TestWithParam<FpsCase> {};

TEST_P(FramesPerSecondTable, RoundsTheRate) {
    EXPECT_EQ(FramesPerSecond(GetParam().intervalMs), GetParam().fps);
}

INSTANTIATE_TEST_SUITE_P(Intervals, FramesPerSecondTable,
                         ::testing::Values(FpsCase{0, 1}, FpsCase{40, 25}, FpsCase{33, 30},
                                           FpsCase{66, 15}, FpsCase{200, 5}, FpsCase{1000, 1},
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
                         ::testing::Values(PortCase{"8554", 8554}, PortCase{"8554 rtsp", 8554},
                                           PortCase{"0", 554}, PortCase{"rtsp", 554},
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

}  // namespace
}  // namespace talvik

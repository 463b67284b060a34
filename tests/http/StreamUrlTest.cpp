#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/StreamUrl.h"
#include "support/FakeCamera.h"

namespace talvik {
namespace {

// Sensor size, bit-rate mode, input, multi-sensor; interval, size, quality,
// codec and stream kind of the stream; the kind of path.
struct UrlCase {
    const char* name;
    uint32_t sensorWidth, sensorHeight, bitrateMode, channel;
    bool multiSensor;
    uint32_t intervalMs, width, height, quality, codec, streamKind, kind;
    const char* url;
};

void PrintTo(const UrlCase& c, std::ostream* os) {
    *os << c.name;
}

class StreamUrls : public ::testing::TestWithParam<UrlCase> {};

TEST_P(StreamUrls, ByteForByte) {
    const UrlCase& c = GetParam();
    StreamUrlConfig config;
    config.sensorWidth = c.sensorWidth;
    config.sensorHeight = c.sensorHeight;
    config.channelIndex = c.channel;
    config.multiSensor = c.multiSensor;
    config.settings.BitrateMode = c.bitrateMode;
    const STREAM_PARAMS params{c.intervalMs, c.width, c.height, c.quality, c.codec, c.streamKind};
    EXPECT_EQ(BuildStreamUrl(config, params, c.kind), c.url);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamUrls,
    ::testing::Values(
        // Live JPEG on the first input in full mode: ssn 1 + 10 * 11.
        UrlCase{"LiveMjpegFull", 0, 0, 1, 0, false, 40, 1920, 1080, 100, 1, 1, 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=1920&y1=1080&quality=20&doublescan=0&fps=25&ssn=111"},
        UrlCase{"HalfOfSensorIsHalfModeWithWholeSensorCrop", 2048, 1536, 1, 0, false, 40, 1024, 768,
                50, 1, 0, 0,
                "/mjpeg?res=half&x0=0&y0=0&x1=2048&y1=1536&quality=10&doublescan=0&fps=25&ssn=201"},
        UrlCase{"NoSensorSizeIsAlwaysFull", 0, 0, 1, 0, false, 40, 1024, 768, 50, 1, 0, 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=1024&y1=768&quality=10&doublescan=0&fps=25&ssn=101"},
        UrlCase{"OnlyWidthHalfIsFull", 2048, 1536, 1, 0, false, 40, 1024, 1536, 50, 1, 0, 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=1024&y1=1536&quality=10&doublescan=0&fps=25&ssn=101"},
        UrlCase{"ImageQualityZeroDoesNotWrap", 0, 0, 1, 0, false, 0, 640, 480, 0, 1, 0, 2,
                "/image?res=full&x0=0&y0=0&x1=640&y1=480&quality=1"},
        // Third input of a four-sensor camera: suffix 3, ssn 1 + 10 * (10 + 200 + 1).
        UrlCase{
            "ThirdSensorOfFour", 0, 0, 1, 2, true, 100, 1600, 1200, 50, 1, 1, 0,
            "/mjpeg3?res=full&x0=0&y0=0&x1=1600&y1=1200&quality=10&doublescan=0&fps=10&ssn=2111"},
        UrlCase{"RtspQp", 0, 0, 1, 0, false, 40, 1920, 1080, 50, 3, 1, 1,
                "h264.sdp?res=full&x0=0&y0=0&x1=1920&y1=1080&qp=26&doublescan=0&fps=25&ssn=113"},
        UrlCase{"RtspBitrateQuality50", 0, 0, 0, 0, false, 40, 1920, 1080, 50, 3, 1, 1,
                "h264.sdp?res=full&x0=0&y0=0&x1=1920&y1=1080&bitrate=5184&doublescan=0&fps=25&"
                "ssn=113"},
        UrlCase{"RtspHalfSecondSensorRemote", 2592, 1944, 1, 1, true, 300, 1296, 972, 100, 3, 2, 1,
                "h264.sdp2?res=half&x0=0&y0=0&x1=2592&y1=1944&qp=16&doublescan=0&fps=3&ssn=1223"},
        UrlCase{"KeyFrame", 0, 0, 1, 0, false, 1000, 1280, 720, 0, 3, 0, 3,
                "/h264f?res=full&x0=0&y0=0&x1=1280&y1=720&qp=36&Iframe=1"},
        UrlCase{"ZeroIntervalIsOneFps", 0, 0, 2, 0, false, 0, 640, 480, 50, 1, 0, 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=640&y1=480&doublescan=0&fps=1&ssn=101"},
        UrlCase{"UnknownKindIsEmpty", 0, 0, 1, 0, false, 40, 640, 480, 50, 1, 0, 4, ""}),
    [](const ::testing::TestParamInfo<UrlCase>& info) { return info.param.name; });

TEST(StreamUrl, QpLimits) {
    const std::vector<std::pair<uint32_t, uint32_t>> cases = {{0, 36},   {1, 36},   {50, 26},
                                                              {100, 16}, {184, 16}, {185, 36}};
    for (const auto& [quality, qp] : cases)
        EXPECT_EQ(GetQp(quality), qp) << quality;
}

TEST(StreamUrl, BitrateBetweenMinimumAndMaximum) {
    StreamUrlConfig config;
    const std::vector<std::pair<uint32_t, uint32_t>> cases = {
        {0, 128}, {1, 128}, {2, 330}, {50, 5184}, {100, 10240}, {101, 10240}, {4294967295u, 10240}};
    for (const auto& [quality, bitrate] : cases) {
        EXPECT_EQ(GetBitrate(config, quality), bitrate) << quality;
    }
    // A minimum above the maximum must not wrap into a huge bitrate.
    config.settings.BitrateMin = 20000;
    config.settings.BitrateMax = 10240;
    EXPECT_EQ(GetBitrate(config, 50), 10240u);
}

// Cropping is switched on only when the camera answers that it is off.
TEST(StreamUrl, CroppingSwitchedOnOnlyWhenOff) {
    const struct {
        unsigned status;
        const char* answer;
        size_t requests;
    } cases[] = {{200, "cropping=on", 1},
                 {200, "model=AV2155&cropping=off\r\n", 2},
                 {200, "model=AV2155", 1},
                 {404, "cropping=off", 1}};
    for (const auto& c : cases) {
        talvik_test::FakeCamera camera;
        camera.Reply("/get?cropping", c.answer, c.status);
        camera.Otherwise(200, "cropping=on");
        EnableCropping(*camera.Requester());
        std::vector<std::string> expected = {"/get?cropping", "/set?cropping=on"};
        expected.resize(c.requests);
        EXPECT_EQ(camera.Requests(), expected) << c.answer;
    }
}

}  // namespace
}  // namespace talvik

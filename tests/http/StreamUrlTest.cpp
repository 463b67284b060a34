#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/StreamUrl.h"
#include "support/FakeCamera.h"

namespace talvik {
namespace {

StreamUrlConfig Config(uint32_t sensorWidth, uint32_t sensorHeight, uint32_t bitrateMode = 1,
                       uint32_t channelIndex = 0, bool multiSensor = false) {
    StreamUrlConfig config;
    config.sensorWidth = sensorWidth;
    config.sensorHeight = sensorHeight;
    config.channelIndex = channelIndex;
    config.multiSensor = multiSensor;
    config.settings.BitrateMode = bitrateMode;
    return config;
}

STREAM_PARAMS Params(uint32_t intervalMs, uint32_t width, uint32_t height, uint32_t quality,
                     uint32_t codec, uint32_t kind) {
    STREAM_PARAMS params;
    params.frameIntervalMs = intervalMs;
    params.width = width;
    params.height = height;
    params.quality = quality;
    params.codec = codec;
    params.kind = kind;
    return params;
}

struct UrlCase {
    const char* name;
    StreamUrlConfig config;
    STREAM_PARAMS params;
    uint32_t kind;
    const char* url;
};

void PrintTo(const UrlCase& c, std::ostream* os) {
    *os << c.name;
}

class StreamUrls : public ::testing::TestWithParam<UrlCase> {};

TEST_P(StreamUrls, ByteForByte) {
    EXPECT_EQ(BuildStreamUrl(GetParam().config, GetParam().params, GetParam().kind),
              GetParam().url);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamUrls,
    ::testing::Values(
        // Live JPEG on the first input in full mode: ssn 1 + 10 * 11.
        UrlCase{"LiveMjpegFull", Config(0, 0), Params(40, 1920, 1080, 100, 1, 1), 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=1920&y1=1080&quality=20&doublescan=0&fps=25&ssn=111"},
        UrlCase{"HalfOfSensorIsHalfModeWithWholeSensorCrop", Config(2048, 1536),
                Params(40, 1024, 768, 50, 1, 0), 0,
                "/mjpeg?res=half&x0=0&y0=0&x1=2048&y1=1536&quality=10&doublescan=0&fps=25&ssn=201"},
        UrlCase{"NoSensorSizeIsAlwaysFull", Config(0, 0), Params(40, 1024, 768, 50, 1, 0), 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=1024&y1=768&quality=10&doublescan=0&fps=25&ssn=101"},
        UrlCase{"OnlyWidthHalfIsFull", Config(2048, 1536), Params(40, 1024, 1536, 50, 1, 0), 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=1024&y1=1536&quality=10&doublescan=0&fps=25&ssn=101"},
        UrlCase{"SingleSensorImage", Config(0, 0), Params(0, 1280, 1024, 50, 1, 0), 2,
                "/image?res=full&x0=0&y0=0&x1=1280&y1=1024&quality=10"},
        UrlCase{"ImageQualityZeroDoesNotWrap", Config(0, 0), Params(0, 640, 480, 0, 1, 0), 2,
                "/image?res=full&x0=0&y0=0&x1=640&y1=480&quality=1"},
        // Third input of a four-sensor camera: suffix 3, ssn 1 + 10 * (10 + 200 + 1).
        UrlCase{
            "ThirdSensorOfFour", Config(0, 0, 1, 2, true), Params(100, 1600, 1200, 50, 1, 1), 0,
            "/mjpeg3?res=full&x0=0&y0=0&x1=1600&y1=1200&quality=10&doublescan=0&fps=10&ssn=2111"},
        UrlCase{"RtspQp", Config(0, 0, 1), Params(40, 1920, 1080, 50, 3, 1), 1,
                "h264.sdp?res=full&x0=0&y0=0&x1=1920&y1=1080&qp=26&doublescan=0&fps=25&ssn=113"},
        UrlCase{"RtspBitrateQuality50", Config(0, 0, 0), Params(40, 1920, 1080, 50, 3, 1), 1,
                "h264.sdp?res=full&x0=0&y0=0&x1=1920&y1=1080&bitrate=5184&doublescan=0&fps=25&"
                "ssn=113"},
        UrlCase{"RtspHalfSecondSensorRemote", Config(2592, 1944, 1, 1, true),
                Params(300, 1296, 972, 100, 3, 2), 1,
                "h264.sdp2?res=half&x0=0&y0=0&x1=2592&y1=1944&qp=16&doublescan=0&fps=3&ssn=1223"},
        UrlCase{"KeyFrame", Config(0, 0, 1), Params(1000, 1280, 720, 0, 3, 0), 3,
                "/h264f?res=full&x0=0&y0=0&x1=1280&y1=720&qp=36&Iframe=1"},
        UrlCase{"ZeroIntervalIsOneFps", Config(0, 0, 2), Params(0, 640, 480, 50, 1, 0), 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=640&y1=480&doublescan=0&fps=1&ssn=101"},
        UrlCase{"Mode2NoQualityMjpeg", Config(0, 0, 2), Params(40, 640, 480, 50, 1, 0), 0,
                "/mjpeg?res=full&x0=0&y0=0&x1=640&y1=480&doublescan=0&fps=25&ssn=101"},
        UrlCase{"UnknownKindIsEmpty", Config(0, 0), Params(40, 640, 480, 50, 1, 0), 4, ""}),
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

struct CroppingCase {
    const char* name;
    bool ok;
    std::string answer;
    std::vector<std::string> expected;
};

void PrintTo(const CroppingCase& c, std::ostream* os) {
    *os << c.name;
}

class Cropping : public ::testing::TestWithParam<CroppingCase> {};

TEST_P(Cropping, SwitchedOnOnlyWhenOff) {
    talvik_test::FakeCamera camera;
    camera.Reply("/get?cropping", GetParam().answer, GetParam().ok ? 200 : 404);
    camera.Otherwise(200, "cropping=on");
    EnableCropping(*camera.Requester());
    EXPECT_EQ(camera.Requests(), GetParam().expected);
}

const std::vector<std::string> kGetOnly = {"/get?cropping"};
const std::vector<std::string> kGetThenSet = {"/get?cropping", "/set?cropping=on"};

INSTANTIATE_TEST_SUITE_P(
    Answers, Cropping,
    ::testing::Values(CroppingCase{"On", true, "cropping=on", kGetOnly},
                      CroppingCase{"OffAmongOthers", true, "model=AV2155&cropping=off\r\n",
                                   kGetThenSet},
                      CroppingCase{"NoCroppingValue", true, "model=AV2155", kGetOnly},
                      CroppingCase{"RequestFailed", false, "cropping=off", kGetOnly}),
    [](const ::testing::TestParamInfo<CroppingCase>& info) { return info.param.name; });

}  // namespace
}  // namespace talvik

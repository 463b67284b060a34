#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "http/StreamUrl.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

// A row of tests/http/data/stream_urls.txt: a camera, a stream and the URL asked for it.
class StreamUrls : public ::testing::TestWithParam<std::string> {};

TEST_P(StreamUrls, ByteForByte) {
    std::istringstream row(GetParam());
    std::string name, url;
    StreamUrlConfig config;
    STREAM_PARAMS params;
    uint32_t kind = 0;
    row >> name >> config.sensorWidth >> config.sensorHeight >> config.settings.BitrateMode >>
        config.channelIndex >> config.multiSensor >> params.frameIntervalMs >> params.width >>
        params.height >> params.quality >> params.codec >> params.kind >> kind >> url;
    EXPECT_EQ(BuildStreamUrl(config, params, kind), url == "-" ? "" : url) << name;
}

std::vector<std::string> UrlRows() {
    std::istringstream all(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/http/data/stream_urls.txt"));
    std::vector<std::string> rows;
    for (std::string line; std::getline(all, line);)
        if (!line.empty() && line[0] != '#') rows.push_back(line);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamUrls, ::testing::ValuesIn(UrlRows()), [](const auto& info) {
    return info.param.substr(0, info.param.find(' '));
});

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

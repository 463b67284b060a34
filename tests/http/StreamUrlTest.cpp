#include <gtest/gtest.h>

#include <sstream>

#include "http/StreamUrl.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

// Rows of tests/http/data/stream_urls.txt: a camera, a stream and the URL asked for it.
TEST(StreamUrl, ByteForByte) {
    for (const auto& r : talvik::test::DataRows("http/data/stream_urls.txt")) {
        std::istringstream row(r[0]);
        std::string name, url;
        StreamUrlConfig config;
        STREAM_PARAMS params;
        uint32_t kind = 0;
        row >> name >> config.sensorWidth >> config.sensorHeight >> config.settings.BitrateMode >>
            config.channelIndex >> config.multiSensor >> params.frameIntervalMs >> params.width >>
            params.height >> params.quality >> params.codec >> params.kind >> kind >> url;
        EXPECT_EQ(BuildStreamUrl(config, params, kind), url == "-" ? "" : url) << name;
    }
}

// Rows of tests/http/data/quality.txt: qp or bitrate, quality, value[, the
// bit-rate minimum and maximum].
TEST(StreamUrl, QpAndBitrateByQuality) {
    for (const auto& r : talvik::test::DataRows("http/data/quality.txt", " ")) {
        StreamUrlConfig config;
        if (r.size() == 5) config.settings.BitrateMin = uint32_t(std::stoul(r[3]));
        if (r.size() == 5) config.settings.BitrateMax = uint32_t(std::stoul(r[4]));
        const uint32_t quality = uint32_t(std::stoul(r[1]));
        EXPECT_EQ(r[0] == "qp" ? GetQp(quality) : GetBitrate(config, quality), std::stoul(r[2]))
            << r[0] << " " << r[1];
    }
}

// Cropping is switched on only when the camera answers that it is off.
TEST(StreamUrl, CroppingSwitchedOnOnlyWhenOff) {
    for (const auto& r : talvik::test::DataRows("http/data/cropping.txt")) {
        talvik_test::FakeCamera camera;
        camera.Reply("/get?cropping", r[1] == "-" ? "model=AV2155&cropping=off\r\n" : r[1],
                     unsigned(std::stoul(r[0])));
        camera.Otherwise(200, "cropping=on");
        EnableCropping(*camera.Requester());
        std::vector<std::string> expected = {"/get?cropping", "/set?cropping=on"};
        expected.resize(std::stoul(r[2]));
        EXPECT_EQ(camera.Requests(), expected) << r[1];
    }
}

}  // namespace
}  // namespace talvik

// What an Arecont camera's replies turn into in the host's store; the cases
// and their stores are in data/.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CapabilityStore.h"
#include "camera/ArecontCameraProperties.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"

using talvik::CArecontCameraProperties;
using talvik::DEVICE_INFO;
using talvik::HostCoreVersion;
using talvik_host::CapabilitySnapshot;
using talvik_host::CCapabilityStore;
using talvik_host::StoredResolution;
using talvik_test::FakeCamera;

namespace {

DEVICE_INFO Device() {
    DEVICE_INFO device;
    device.address = "192.0.2.7";
    device.port = 8080;
    device.userName = "admin";
    device.password = "secret";
    return device;
}

const HostCoreVersion kHost512{5, 12, 0, 0};

// The rows of data/<name>: fields split at '|', "\r\n" written out as text;
// lines starting with '#' are comments.
std::vector<std::vector<std::string>> Rows(const std::string& name) {
    auto rows = talvik::test::DataRows("camera/data/" + name, "|");
    for (auto& row : rows)
        for (std::string& field : row)
            for (size_t at; (at = field.find("\\r\\n")) != std::string::npos;)
                field.replace(at, 4, "\r\n");
    return rows;
}

// "1600x1200/33 800x600/33": records labelled by their size, with their
// minimum frame interval.
std::vector<StoredResolution> Resolutions(const std::string& text) {
    std::vector<StoredResolution> out;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        unsigned width = 0, height = 0, interval = 0;
        std::sscanf(word.c_str(), "%ux%u/%u", &width, &height, &interval);
        out.push_back({word.substr(0, word.find('/')), width, height, interval});
    }
    return out;
}

// Properties over a fake camera, reading as the given host core version.
struct Reading {
    explicit Reading(HostCoreVersion host = kHost512, uint32_t videoStandard = 0)
        : properties(Device(), videoStandard) {
        properties.SetCamera(camera.Requester());
        properties.SetHostCoreVersionReader([host] { return host; });
    }
    FakeCamera camera;
    CArecontCameraProperties properties;
};

TEST(StoreContents, MatchesCameraReplies) {
    const std::string expected =
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/camera/data/store_contents.txt");
    std::istringstream lines(expected);
    std::string stores;  // the file as this build prints it
    for (std::string line; std::getline(lines, line);) {
        if (line[0] == '#') stores += line + "\n";
        if (line.compare(0, 3, "== ") != 0) continue;
        SCOPED_TRACE(line);
        std::string model, width, height, channelenable, firmware, version;
        int aux = 0;
        HostCoreVersion host;
        uint32_t videoStandard = 0;
        std::istringstream(line.substr(line.find('|') + 1)) >> model >> width >> height >>
            channelenable >> firmware >> aux >> version >> videoStandard;
        std::sscanf(version.c_str(), "%hu.%hu.%hu", &host.major, &host.minor, &host.build);
        Reading r(host, videoStandard);
        r.camera.SetUpArecont(model, width, height, channelenable, firmware == "-" ? "" : firmware);
        if (!aux) {
            r.camera.Remove("/get?auxin");
            r.camera.Remove("/get?auxout");
        }
        uint32_t code = 77;
        ASSERT_TRUE(r.properties.ReadFromDevice(code));
        EXPECT_EQ(code, 77u);  // untouched on success
        CCapabilityStore store;
        ASSERT_TRUE(r.properties.WriteCapabilities(&store));
        const CapabilitySnapshot s = store.Snapshot();
        stores += line + "\n" + CCapabilityStore::FormatText(s);
        for (const auto& property : s.properties)
            EXPECT_EQ(property.second.flags, 0u) << property.first;
        EXPECT_EQ(r.camera.Requests(),
                  (std::vector<std::string>{"/get?model=releasename", "/get?channelenable",
                                            "/get?sensorheight", "/get?sensorwidth", "/get?auxin",
                                            "/get?auxout", "/get?fwversion"}));
    }
    EXPECT_EQ(stores, expected);
}

// The store table above holds rates 1 to 30; a rate of 0 must not divide by zero.
TEST(IntervalFromRate, ZeroRateGivesOneMillisecond) {
    EXPECT_EQ(talvik::IntervalFromRate(0), 1u);
}

// Sensor formula: rate limit at full and half resolution, by sensor size
// and count; only exactly "15" means four sensors.
TEST(SensorFormula, LimitsRateBySensorSizeAndCount) {
    for (const auto& c : Rows("sensor_formula.txt")) {
        SCOPED_TRACE(c[0] + "x" + c[1] + " '" + c[2] + "'");
        Reading r;
        r.camera.SetUpArecont("AV1300", c[0], c[1], c[2]);
        uint32_t code = 0;
        ASSERT_TRUE(r.properties.ReadFromDevice(code));
        EXPECT_EQ(r.properties.ChannelCount(), uint32_t(std::stoi(c[3])));
        CCapabilityStore store;
        ASSERT_TRUE(r.properties.WriteCapabilities(&store));
        EXPECT_EQ(store.Snapshot().resolutions, Resolutions(c[4]));
    }
}

// A read that cannot complete: which reply is missing ("") or wrong, how
// far the read got, and the error text it leaves.
TEST(ReadFromDevice, FailsWithCode3) {
    const std::vector<std::string> order = {"/get?model=releasename", "/get?channelenable",
                                            "/get?sensorheight", "/get?sensorwidth"};
    for (const auto& c : Rows("read_failures.txt")) {
        SCOPED_TRACE(c[0] + " " + c[1]);
        Reading r;
        r.camera.SetUpArecont("AV2155", "1600", "1200");
        if (!c[1].empty()) {
            r.camera.Reply(c[0], c[1]);
        } else {
            r.camera.Remove(c[0]);
        }
        uint32_t code = 0;
        EXPECT_FALSE(r.properties.ReadFromDevice(code));
        EXPECT_EQ(code, 3u);
        EXPECT_EQ(r.camera.Requests(),
                  std::vector<std::string>(order.begin(), order.begin() + std::stoi(c[2])));
        EXPECT_EQ(r.properties.GetErrorText(), c[3]);
        EXPECT_FALSE(r.properties.WriteCapabilities(nullptr));
    }
}

TEST(ReadFromDevice, SecondReadKeepsEarlierModelWhenModelRequestFails) {
    Reading r;
    r.camera.SetUpArecont("AV3130", "1280", "1024");
    uint32_t code = 0;
    ASSERT_TRUE(r.properties.ReadFromDevice(code));
    r.camera.Remove("/get?model=releasename");
    r.camera.Value("sensorwidth", "2048");
    r.camera.Value("sensorheight", "1536");
    ASSERT_TRUE(r.properties.ReadFromDevice(code));
    EXPECT_EQ(r.properties.DeviceModel(), "AV3130");
    EXPECT_EQ(r.properties.CameraGroup(), 0u);
    CCapabilityStore store;
    ASSERT_TRUE(r.properties.WriteCapabilities(&store));
    const CapabilitySnapshot s = store.Snapshot();
    EXPECT_EQ(s.modelName, "Arecont AV AV3130");
    // Both reads' resolutions, in the order found.
    EXPECT_EQ(s.resolutions, Resolutions("1280x1024/33 640x512/33 2048x1536/53 1024x768/33"));
}

TEST(AddResolution, KeepsTheSmallerNonZeroInterval) {
    CArecontCameraProperties properties(Device(), 0);
    properties.AddResolution({640, 480, 100});
    properties.AddResolution({640, 480, 40});
    properties.AddResolution({640, 480, 0});
    properties.AddResolution({640, 480, 50});
    properties.AddResolution({320, 240, 0});
    properties.AddResolution({320, 240, 20});  // a stored 0 stays
    properties.AddResolution({0, 240, 20});
    properties.AddResolution(1280, 720, 25);
    ASSERT_EQ(properties.Resolutions().size(), 3u);
    EXPECT_EQ(properties.Resolutions()[0].minFrameIntervalMs, 40u);
    EXPECT_EQ(properties.Resolutions()[1].minFrameIntervalMs, 0u);
    EXPECT_EQ(properties.Resolutions()[2].minFrameIntervalMs, 40u);
}

TEST(ParseLikeAtoi, ReadsLeadingNumber) {
    // clang-format off
    const std::vector<std::pair<const char*, int>> cases = {{"  42x", 42}, {"-3", -3}, {"x1", 0},
        {"", 0}, {"\t\n12", 12}, {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(talvik::ParseLikeAtoi(c.first), c.second) << c.first;
}

}  // namespace

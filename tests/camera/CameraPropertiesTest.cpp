// What an Arecont camera's replies turn into in the host's store. The stores
// of the table below are in data/store_contents.txt as the reference host
// prints them, checked by hand (rates from the sensor formula or the model
// table, intervals rounded to the nearest millisecond).
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
const HostCoreVersion kHost511{5, 11, 9, 0};
const HostCoreVersion kHost60{6, 0, 0, 0};

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
    const struct {
        const char *name, *model, *width, *height, *channelenable;
        const char* firmware;  // "" for an empty reply
        bool aux;              // camera answers auxin and auxout
        HostCoreVersion host;
        uint32_t videoStandard;
    } cases[] = {
        // 1600 x 1200, one sensor: 30 fps at both scales; default rate 5 (200 ms).
        {"Model2155JpegAndH264Group1", "AV2155DN", "1600", "1200", "1", "65174", true, kHost512, 0},
        // "313" puts the camera in group 0; a run ending in 0 means no JPEG.
        {"Model3130H264OnlyGroup0", "AV3130", "1280", "1024", "1", "65174", true, kHost512, 0},
        // Table model: 4 fps full (250 ms), 13 fps half (77 ms); default 4 fps.
        {"Model20185FromRateTable", "AV20185DN", "2592", "1944", "1", "65174", true, kHost512, 0},
        // 1088 lines are cropped to 1080: flexible cropping; a model ending in 6 has JPEG.
        {"Sensor1920x1088IsCroppedTo1080", "AV2116DN", "1920", "1088", "1", "65174", true, kHost512,
         0},
        // Four sensors share the clock: 7 fps full (143 ms), 25 fps half (40 ms).
        {"FourSensorsDivideTheRate", "AV8365DN", "1600", "1200", "15", "65174", true, kHost512, 0},
        // Host core older than 5.12: no long intervals, mode 0, no 21 to 25.
        {"HostCore511HasNoLongIntervals", "AV2155DN", "1600", "1200", "1", "65174", true, kHost511,
         0},
        // Newer major version; empty firmware reply; no auxiliary I/O.
        {"HostCore6NoFirmwareNoAux", "AV2155DN", "1600", "1200", "1", "", false, kHost60, 1}};
    std::string stores;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reading r(c.host, c.videoStandard);
        r.camera.SetUpArecont(c.model, c.width, c.height, c.channelenable, c.firmware);
        if (!c.aux) {
            r.camera.Remove("/get?auxin");
            r.camera.Remove("/get?auxout");
        }
        uint32_t code = 77;
        ASSERT_TRUE(r.properties.ReadFromDevice(code));
        EXPECT_EQ(code, 77u);  // untouched on success
        CCapabilityStore store;
        ASSERT_TRUE(r.properties.WriteCapabilities(&store));
        const CapabilitySnapshot s = store.Snapshot();
        stores += std::string("== ") + c.name + "\n" + CCapabilityStore::FormatText(s);
        for (const auto& property : s.properties)
            EXPECT_EQ(property.second.flags, 0u) << property.first;
        EXPECT_EQ(r.camera.Requests(),
                  (std::vector<std::string>{"/get?model=releasename", "/get?channelenable",
                                            "/get?sensorheight", "/get?sensorwidth", "/get?auxin",
                                            "/get?auxout", "/get?fwversion"}));
    }
    EXPECT_EQ(stores, talvik::test::ReadFile(std::string(TALVIK_SOURCE_DIR) +
                                             "/tests/camera/data/store_contents.txt"));
}

// The store table above holds rates 1 to 30; a rate of 0 must not divide by zero.
TEST(IntervalFromRate, ZeroRateGivesOneMillisecond) {
    EXPECT_EQ(talvik::IntervalFromRate(0), 1u);
}

// Sensor formula: rate limit at full and half resolution, by sensor size
// and count; only exactly "15" means four sensors.
TEST(SensorFormula, LimitsRateBySensorSizeAndCount) {
    struct Case {
        const char *width, *height, *channelenable;
        uint32_t channels;
        const char* resolutions;
    } cases[] = {
        {"2048", "1536", "1", 1, "2048x1536/53 1024x768/33"},
        {"2592", "1944", "1", 1, "2592x1944/83 1296x972/33"},
        // Values with trailing text read like atoi; an odd size halves down.
        {"641 px", " 481", "1", 1, "641x481/33 320x240/33"},
        // One pixel wide: the half-size record is empty and left out.
        {"1", "480", "1", 1, "1x480/33"},
        {"1600", "1200", "15", 4, "1600x1200/143 800x600/40"},
        {"1600", "1200", "015", 1, "1600x1200/33 800x600/33"},
        {"1600", "1200", "15 ", 1, "1600x1200/33 800x600/33"},
        {"1600", "1200", "", 1, "1600x1200/33 800x600/33"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.width) + "x" + c.height + " '" + c.channelenable + "'");
        Reading r;
        r.camera.SetUpArecont("AV1300", c.width, c.height, c.channelenable);
        uint32_t code = 0;
        ASSERT_TRUE(r.properties.ReadFromDevice(code));
        EXPECT_EQ(r.properties.ChannelCount(), c.channels);
        CCapabilityStore store;
        ASSERT_TRUE(r.properties.WriteCapabilities(&store));
        EXPECT_EQ(store.Snapshot().resolutions, Resolutions(c.resolutions));
    }
}

// A read that cannot complete: which reply is missing ("") or wrong, how
// far the read got, and the error text it leaves.
TEST(ReadFromDevice, FailsWithCode3) {
    const struct {
        const char *path, *reply;
        size_t requests;
        const char* errorText;
    } cases[] = {
        {"/get?model=releasename", "", 1, ""},
        {"/get?model=releasename", "name=AV2155\r\n", 1, ""},
        {"/get?model=releasename", "models=AV2155\r\n", 1, ""},  // only a prefix
        {"/get?sensorwidth", "", 4, ""},
        {"/get?sensorwidth", "sensorwidth=0\r\n", 4, ""},
        {"/get?sensorheight", "sensorheight=-1080\r\n", 4, ""},
        {"/get?sensorwidth", "sensorwidth=wide\r\n", 4, ""},
        // Beyond what any H.264 level allows: a malformed reply, named once
        // in the query's failure message.
        {"/get?sensorheight", "sensorheight=65535\r\n", 4,
         "sensor size 1600x65535 is beyond 16384 pixels on a side"},
        {"/get?sensorwidth", "sensorwidth=16385\r\n", 4,
         "sensor size 16385x1200 is beyond 16384 pixels on a side"},
    };
    const std::vector<std::string> order = {"/get?model=releasename", "/get?channelenable",
                                            "/get?sensorheight", "/get?sensorwidth"};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.reply);
        Reading r;
        r.camera.SetUpArecont("AV2155", "1600", "1200");
        if (*c.reply) {
            r.camera.Reply(c.path, c.reply);
        } else {
            r.camera.Remove(c.path);
        }
        uint32_t code = 0;
        EXPECT_FALSE(r.properties.ReadFromDevice(code));
        EXPECT_EQ(code, 3u);
        EXPECT_EQ(r.camera.Requests(),
                  std::vector<std::string>(order.begin(), order.begin() + c.requests));
        EXPECT_EQ(r.properties.GetErrorText(), c.errorText);
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
    const std::vector<std::pair<const char*, int>> cases = {{"  42x", 42},
                                                            {"-3", -3},
                                                            {"x1", 0},
                                                            {"", 0},
                                                            {"\t\n12", 12},
                                                            {"99999999999", 2147483647},
                                                            {"-99999999999", -2147483647 - 1}};
    for (const auto& c : cases)
        EXPECT_EQ(talvik::ParseLikeAtoi(c.first), c.second) << c.first;
}

}  // namespace

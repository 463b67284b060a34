// What an Arecont camera's replies turn into in the host's store; the cases,
// their replies and what each read gives are in data/properties.txt.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "CapabilityStore.h"
#include "base/Text.h"
#include "camera/ArecontCameraProperties.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"

using namespace talvik;
using talvik_host::CCapabilityStore;

namespace {

DEVICE_INFO Device() {
    DEVICE_INFO device;
    device.address = "192.0.2.7";
    device.port = 8080;
    device.userName = "admin";
    device.password = "secret";
    return device;
}

// Properties over a fake camera, reading as the given host core version.
struct Reading {
    Reading(HostCoreVersion host, uint32_t videoStandard) : properties(Device(), videoStandard) {
        properties.SetCamera(camera.Requester());
        properties.SetHostCoreVersionReader([host] { return host; });
    }
    talvik_test::FakeCamera camera;
    CArecontCameraProperties properties;
};

// A read as the data file prints it: the result and code (77 before the
// read), the requests so far, the error text, then the store or "No store".
std::string Read(Reading& r) {
    uint32_t code = 77;
    const bool ok = r.properties.ReadFromDevice(code);
    std::string out = FormatString("Read: %d, code %u, error \"%s\"\nRequests:", ok, code,
                                   r.properties.GetErrorText().c_str());
    for (const std::string& path : r.camera.Requests())
        out += " " + path;
    CCapabilityStore store;
    if (!r.properties.WriteCapabilities(&store)) return out + "\nNo store\n";
    for (const auto& property : store.Snapshot().properties)
        EXPECT_EQ(property.second.flags, 0u) << property.first;
    return out + "\n" + CCapabilityStore::FormatText(store.Snapshot());
}

// "== name | host core version | video standard" starts a case; "< path |
// body" is a reply ("\r\n" written out; "< path" alone: 404); the lines after
// the replies are what a read prints.
TEST(CameraProperties, ReadsAndStoresAsTheDataFileSays) {
    const std::string expected =
        test::ReadFile(TALVIK_SOURCE_DIR "/tests/camera/data/properties.txt");
    std::istringstream lines(expected);
    std::string printed;  // the file as this build prints it
    std::unique_ptr<Reading> r;
    bool replied = false;  // replies given since the last read
    for (std::string line; std::getline(lines, line);) {
        const bool reply = line.compare(0, 2, "< ") == 0;
        if (replied && !reply) printed += Read(*r);
        replied = reply;
        if (line.compare(0, 3, "== ") == 0) {
            HostCoreVersion host;
            unsigned videoStandard = 0;
            std::sscanf(line.substr(line.find('|')).c_str(), "| %hu.%hu.%hu | %u", &host.major,
                        &host.minor, &host.build, &videoStandard);
            r = std::make_unique<Reading>(host, videoStandard);
        } else if (reply) {
            const size_t bar = line.find(" | ");
            std::string body = bar == std::string::npos ? "" : line.substr(bar + 3);
            for (size_t at; (at = body.find("\\r\\n")) != std::string::npos;)
                body.replace(at, 4, "\r\n");
            r->camera.Reply(line.substr(2, bar - 2), body, bar == std::string::npos ? 404 : 200);
        } else if (line[0] != '#') {
            continue;
        }
        printed += line + "\n";
    }
    if (replied) printed += Read(*r);
    EXPECT_EQ(printed, expected);
}

// Merging by size keeps the shortest non-zero interval; a stored 0 stays.
TEST(AddResolution, KeepsTheSmallerNonZeroInterval) {
    CArecontCameraProperties properties(Device(), 0);
    const ResolutionRecord records[] = {{640, 480, 100}, {640, 480, 40}, {640, 480, 0},
                                        {640, 480, 50},  {320, 240, 0},  {320, 240, 20},
                                        {0, 240, 20}};
    for (const ResolutionRecord& record : records)
        properties.AddResolution(record);
    properties.AddResolution(1280, 720, 25);
    std::string intervals;
    for (const auto& record : properties.Resolutions())
        intervals += std::to_string(record.minFrameIntervalMs) + " ";
    EXPECT_EQ(intervals, "40 0 40 ");
    EXPECT_EQ(IntervalFromRate(0), 1u);  // no division by zero
}

TEST(ParseLikeAtoi, ReadsLeadingNumber) {
    std::string values;
    for (const char* text : {"  42x", "-3", "x1", "", "\t\n12", "99999999999", "-99999999999"})
        values += std::to_string(ParseLikeAtoi(text)) + " ";
    EXPECT_EQ(values, "42 -3 0 0 12 2147483647 -2147483648 ");
}

}  // namespace

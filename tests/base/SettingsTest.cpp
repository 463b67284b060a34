#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "base/Settings.h"
#include "platform/Host.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

std::string Describe(const DeviceSettings& s) {
    return "light=" + std::to_string(s.IndoorLightFrequency) +
           " log=" + std::to_string(s.LogRtpSequence) + " rtp=" + std::to_string(s.RTPMode) +
           " block=" + std::to_string(s.RTPBlockSize) + " mode=" + std::to_string(s.BitrateMode) +
           " min=" + std::to_string(s.BitrateMin) + " max=" + std::to_string(s.BitrateMax);
}

const char* const kDefaults = "light=0 log=0 rtp=0 block=0 mode=1 min=128 max=10240";

DEVICE_INFO Device(const std::string& address, uint16_t port) {
    DEVICE_INFO device;
    device.address = address;
    device.port = port;
    return device;
}

// A fresh directory per test, removed with everything written into it.
class SettingsFile : public ::testing::Test {
protected:
    void Write(const std::string& xml) {
        std::ofstream(dir_.Path() + "/talvik_arecont.xml", std::ios::binary) << xml;
    }
    DeviceSettings Load(const DEVICE_INFO& device) {
        return LoadDeviceSettings(device, dir_.Path() + "/", "talvik_arecont");
    }

    talvik::test::TempDir dir_{"talvik-settings"};
};

// The values of a loaded file: "mode=2" (no quality parameter) when it has
// no "BitrateMode", otherwise the defaults, except for the `changes` given
// as "key=value" words.
std::string Loaded(const std::string& changes) {
    std::istringstream words("light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240");
    std::string out;
    for (std::string word; words >> word;) {
        const std::string key = word.substr(0, word.find('=') + 1);
        std::istringstream wanted(changes);
        for (std::string change; wanted >> change;)
            if (change.compare(0, key.size(), key) == 0) word = change;
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// Each key's thresholds are replayed from the settings_reader fuzz seeds
// (tests/http/CorpusReplayTest); here, how the file and its section are found.
const char* const kSections = R"(<?xml version="1.0" encoding="UTF-8"?>
<Configuration>
  <Default>
    <RTPMode>RTPoverRTSP</RTPMode>
    <BitrateMode>VBR</BitrateMode>
    <BitrateMax>20000</BitrateMax>
  </Default>
  <Device address="10.0.0.5" port="80">
    <BitrateMin>512</BitrateMin>
  </Device>
  <Device address="10.0.0.5" port="8080">
    <BitrateMin>1024</BitrateMin>
    <BitrateMode>CBR</BitrateMode>
  </Device>
  <Device address="cam.local" port="80">
    <BitrateMin>2048</BitrateMin>
  </Device>
</Configuration>
)";

struct SectionCase {
    const char* name;
    std::string address;
    uint16_t port;
    std::string expected;
};

class SettingsSections : public SettingsFile, public ::testing::WithParamInterface<SectionCase> {};

TEST_P(SettingsSections, ChosenByAddressAndPortAsGiven) {
    Write(kSections);
    EXPECT_EQ(Describe(Load(Device(GetParam().address, GetParam().port))), GetParam().expected);
}

const char* const kDefaultSection = "light=0 log=0 rtp=2 block=0 mode=1 min=128 max=20000";

// A device section is used alone: what it lacks is not taken from "Default".
INSTANTIATE_TEST_SUITE_P(
    Devices, SettingsSections,
    ::testing::Values(SectionCase{"AddressAndPort", "10.0.0.5", 80, Loaded("min=512")},
                      SectionCase{"SameAddressOtherPort", "10.0.0.5", 8080,
                                  Loaded("mode=0 min=1024")},
                      SectionCase{"HostName", "cam.local", 80, Loaded("min=2048")},
                      SectionCase{"UnknownPort", "10.0.0.5", 81, kDefaultSection},
                      SectionCase{"QuoteInAddressCannotSelectAnotherSection",
                                  "x\"][@port=\"80\"]|/Configuration/Device[@address=\"cam.local",
                                  80, kDefaultSection}),
    [](const ::testing::TestParamInfo<SectionCase>& info) { return info.param.name; });

TEST_F(SettingsFile, NoFileGivesDefaults) {
    EXPECT_EQ(Describe(Load(Device("10.0.0.5", 80))), kDefaults);
}

TEST_F(SettingsFile, UnparsableFileGivesDefaults) {
    Write("<Configuration><Default><BitrateMode>CBR</BitrateMode></Default>");
    EXPECT_EQ(Describe(Load(Device("10.0.0.5", 80))), kDefaults);
}

TEST(DeviceSettingsPath, JoinsDirectoryNameAndExtension) {
    EXPECT_EQ(DeviceSettingsPath("/opt/host/", "drv"), "/opt/host/drv.xml");
    EXPECT_EQ(DeviceSettingsPath("/opt/host", "drv"), "/opt/host/drv.xml");
    EXPECT_EQ(DeviceSettingsPath("", "drv"), "drv.xml");
    EXPECT_EQ(DeviceSettingsPath("/opt/host/", ""), "");
}

TEST(HostDirectory, IsTheDirectoryOfThisExecutable) {
    const std::string dir = GetHostDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(access((dir + "test_base").c_str(), X_OK), 0) << dir;
}

}  // namespace
}  // namespace talvik

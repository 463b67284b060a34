#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
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

// Each key's thresholds are replayed from the settings_reader fuzz seeds
// (tests/http/CorpusReplayTest); here, how the file and its section are found.
const char* const kSections = R"(<?xml version="1.0" encoding="UTF-8"?>
<Configuration>
  <Default>
    <RTPMode>RTPoverRTSP</RTPMode>
    <BitrateMode>VBR</BitrateMode>
    <BitrateMax>20000</BitrateMax>
  </Default>
  <Device address="10.0.0.5" port="80"><BitrateMin>512</BitrateMin></Device>
  <Device address="10.0.0.5" port="8080">
    <BitrateMin>1024</BitrateMin>
    <BitrateMode>CBR</BitrateMode>
  </Device>
  <Device address="cam.local" port="80"><BitrateMin>2048</BitrateMin></Device>
</Configuration>
)";

// A device section is used alone: what it lacks is not taken from "Default"
// (no "BitrateMode" there means mode 2, no quality parameter).
TEST(SettingsFile, SectionChosenByAddressAndPortAsGiven) {
    const char* const kDefaults = "light=0 log=0 rtp=0 block=0 mode=1 min=128 max=10240";
    const char* const kDefaultSection = "light=0 log=0 rtp=2 block=0 mode=1 min=128 max=20000";
    const struct {
        const char* xml;  // null: no file
        std::string address;
        uint16_t port;
        const char* expected;
    } cases[] = {
        {kSections, "10.0.0.5", 80, "light=0 log=0 rtp=0 block=0 mode=2 min=512 max=10240"},
        {kSections, "10.0.0.5", 8080, "light=0 log=0 rtp=0 block=0 mode=0 min=1024 max=10240"},
        {kSections, "cam.local", 80, "light=0 log=0 rtp=0 block=0 mode=2 min=2048 max=10240"},
        {kSections, "10.0.0.5", 81, kDefaultSection},
        {kSections, "x\"][@port=\"80\"]|/Configuration/Device[@address=\"cam.local", 80,
         kDefaultSection},
        {nullptr, "10.0.0.5", 80, kDefaults},
        {"<Configuration><Default><BitrateMode>CBR</BitrateMode></Default>", "10.0.0.5", 80,
         kDefaults},
    };
    for (const auto& c : cases) {
        const talvik::test::TempDir dir("talvik-settings");
        if (c.xml) std::ofstream(dir.Path() + "/talvik_arecont.xml", std::ios::binary) << c.xml;
        DEVICE_INFO device;
        device.address = c.address;
        device.port = c.port;
        EXPECT_EQ(Describe(LoadDeviceSettings(device, dir.Path() + "/", "talvik_arecont")),
                  c.expected)
            << c.address << ":" << c.port;
    }
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
    // Windows names the program with ".exe" and ends the directory with '\'.
    EXPECT_TRUE(std::ifstream(dir + "test_base").good() ||
                std::ifstream(dir + "test_base.exe").good())
        << dir;
    EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\') << dir;
}

}  // namespace
}  // namespace talvik

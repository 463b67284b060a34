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
// A device section is used alone: what it lacks is not taken from "Default"
// (no "BitrateMode" there means mode 2, no quality parameter).
TEST(SettingsFile, SectionChosenByAddressAndPortAsGiven) {
    for (const auto& row : talvik::test::DataRows("base/data/settings_sections.txt")) {
        const talvik::test::TempDir dir("talvik-settings");
        if (row[0] != "-")
            std::ofstream(dir.Path() + "/talvik_arecont.xml", std::ios::binary)
                << talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/base/data/" + row[0]);
        DEVICE_INFO device;
        device.address = row[1];
        device.port = uint16_t(std::stoul(row[2]));
        EXPECT_EQ(Describe(LoadDeviceSettings(device, dir.Path() + "/", "talvik_arecont")), row[3])
            << row[1] << ":" << row[2];
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

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "base/HostDirectory.h"
#include "base/Settings.h"

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
    void SetUp() override {
        char pattern[] = "/tmp/talvik-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = std::string(pattern) + "/";
    }
    void TearDown() override {
        for (const std::string& file : written_)
            std::remove(file.c_str());
        rmdir(dir_.c_str());
    }
    void Write(const std::string& xml, const std::string& name = "talvik_arecont.xml") {
        std::ofstream(dir_ + name, std::ios::binary) << xml;
        written_.push_back(dir_ + name);
    }
    DeviceSettings Load(const DEVICE_INFO& device) {
        return LoadDeviceSettings(device, dir_, "talvik_arecont");
    }

    std::string dir_;
    std::vector<std::string> written_;
};

struct ValueCase {
    const char* name;
    const char* defaultSection;
    const char* expected;
};

class SettingsValues : public SettingsFile, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(SettingsValues, ReadFromDefaultSection) {
    Write(std::string("<?xml version=\"1.0\"?>\n<Configuration>\n  <Default>") +
          GetParam().defaultSection + "</Default>\n</Configuration>\n");
    EXPECT_EQ(Describe(Load(Device("10.0.0.5", 80))), GetParam().expected);
}

// A loaded file without "BitrateMode" gives mode 2 (no quality parameter).
INSTANTIATE_TEST_SUITE_P(
    Thresholds, SettingsValues,
    ::testing::Values(
        ValueCase{"EmptySection", "", "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"Light50", "<IndoorLightFrequency>50</IndoorLightFrequency>",
                  "light=50 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"LightAnyDigits", "<IndoorLightFrequency>7</IndoorLightFrequency>",
                  "light=7 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"LightModulo2To32", "<IndoorLightFrequency>4294967356</IndoorLightFrequency>",
                  "light=60 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"LightWithBlankIsZero", "<IndoorLightFrequency>60 </IndoorLightFrequency>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"LogOne", "<LogRtpSequence>1</LogRtpSequence>",
                  "light=0 log=1 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"LogTwo", "<LogRtpSequence>2</LogRtpSequence>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"LogEmpty", "<LogRtpSequence/>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"RtpOverRtsp", "<RTPMode>RTPoverRTSP</RTPMode>",
                  "light=0 log=0 rtp=2 block=0 mode=2 min=128 max=10240"},
        ValueCase{"RtpOverRtspInsideText", "<RTPMode>use RTPoverRTSP here</RTPMode>",
                  "light=0 log=0 rtp=2 block=0 mode=2 min=128 max=10240"},
        ValueCase{"RtpModeCaseCounts", "<RTPMode>rtpoverrtsp</RTPMode>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"BlockSize100Rejected", "<RTPBlockSize>100</RTPBlockSize>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"BlockSize101Taken", "<RTPBlockSize>101</RTPBlockSize>",
                  "light=0 log=0 rtp=0 block=101 mode=2 min=128 max=10240"},
        ValueCase{"BlockSizeSignRejected", "<RTPBlockSize>+1400</RTPBlockSize>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"Vbr", "<BitrateMode>VBR</BitrateMode>",
                  "light=0 log=0 rtp=0 block=0 mode=1 min=128 max=10240"},
        ValueCase{"Cbr", "<BitrateMode>CBR</BitrateMode>",
                  "light=0 log=0 rtp=0 block=0 mode=0 min=128 max=10240"},
        ValueCase{"LowerCaseCbr", "<BitrateMode>cbr</BitrateMode>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"VbrWinsOverCbr", "<BitrateMode>CBR or VBR</BitrateMode>",
                  "light=0 log=0 rtp=0 block=0 mode=1 min=128 max=10240"},
        ValueCase{"Min127Rejected", "<BitrateMin>127</BitrateMin>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"Min129Taken", "<BitrateMin>129</BitrateMin>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=129 max=10240"},
        ValueCase{"MinLeadingBlankRejected", "<BitrateMin> 256</BitrateMin>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"Max255Rejected", "<BitrateMax>255</BitrateMax>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"Max256Taken", "<BitrateMax>256</BitrateMax>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=256"},
        ValueCase{"CommentFirstChildReadsAsItsText", "<BitrateMax><!--x-->4096</BitrateMax>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"NamesAreCaseSensitive",
                  "<bitratemode>VBR</bitratemode><rtpmode>RTPoverRTSP</rtpmode>",
                  "light=0 log=0 rtp=0 block=0 mode=2 min=128 max=10240"},
        ValueCase{"AllKeys",
                  "<IndoorLightFrequency>60</IndoorLightFrequency><LogRtpSequence>1"
                  "</LogRtpSequence><RTPMode>RTPoverRTSP</RTPMode><RTPBlockSize>1400"
                  "</RTPBlockSize><BitrateMode>CBR</BitrateMode><BitrateMin>512</BitrateMin>"
                  "<BitrateMax>8192</BitrateMax>",
                  "light=60 log=1 rtp=2 block=1400 mode=0 min=512 max=8192"}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

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
    const char* expected;
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
    ::testing::Values(SectionCase{"AddressAndPort", "10.0.0.5", 80,
                                  "light=0 log=0 rtp=0 block=0 mode=2 min=512 max=10240"},
                      SectionCase{"SameAddressOtherPort", "10.0.0.5", 8080,
                                  "light=0 log=0 rtp=0 block=0 mode=0 min=1024 max=10240"},
                      SectionCase{"HostName", "cam.local", 80,
                                  "light=0 log=0 rtp=0 block=0 mode=2 min=2048 max=10240"},
                      SectionCase{"HostNameCaseCounts", "CAM.local", 80, kDefaultSection},
                      SectionCase{"UnknownPort", "10.0.0.5", 81, kDefaultSection},
                      SectionCase{"UnknownAddress", "10.0.0.50", 80, kDefaultSection},
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

TEST_F(SettingsFile, EmptyDriverNameReadsNoFile) {
    Write("<Configuration><Default><BitrateMode>CBR</BitrateMode></Default></Configuration>",
          ".xml");
    EXPECT_EQ(Describe(LoadDeviceSettings(Device("10.0.0.5", 80), dir_, "")), kDefaults);
}

TEST_F(SettingsFile, DirectoryWithoutTrailingSlash) {
    Write("<Configuration><Default><BitrateMode>CBR</BitrateMode></Default></Configuration>");
    const std::string dir = dir_.substr(0, dir_.size() - 1);
    EXPECT_EQ(LoadDeviceSettings(Device("10.0.0.5", 80), dir, "talvik_arecont").BitrateMode, 0u);
}

TEST(DeviceSettingsPath, JoinsDirectoryNameAndExtension) {
    EXPECT_EQ(DeviceSettingsPath("/opt/host/", "drv"), "/opt/host/drv.xml");
    EXPECT_EQ(DeviceSettingsPath("/opt/host", "drv"), "/opt/host/drv.xml");
    EXPECT_EQ(DeviceSettingsPath("", "drv"), "drv.xml");
    EXPECT_EQ(DeviceSettingsPath("/opt/host/", ""), "");
}

TEST(XMLParser, NothingLoadedAnswersNothing) {
    CXMLParser parser;
    EXPECT_FALSE(parser.NodeExists("Configuration"));
    EXPECT_EQ(parser.GetNodeText("Configuration"), "");
    EXPECT_FALSE(parser.Load(""));
    EXPECT_FALSE(parser.Load("/nonexistent/talvik.xml"));
}

TEST(XMLParser, LoadsOnceAndAgainAfterUnload) {
    const std::string a = "<Configuration><Default><RTPMode>A</RTPMode></Default></Configuration>";
    const std::string b = "<Configuration><Default><RTPMode>B</RTPMode></Default></Configuration>";
    CXMLParser parser;
    ASSERT_TRUE(parser.LoadFromBuffer(a.data(), a.size()));
    EXPECT_FALSE(parser.LoadFromBuffer(b.data(), b.size()));
    EXPECT_EQ(parser.GetNodeText("Configuration/Default/RTPMode"), "A");
    parser.Unload();
    EXPECT_FALSE(parser.NodeExists("Configuration/Default/RTPMode"));
    ASSERT_TRUE(parser.LoadFromBuffer(b.data(), b.size()));
    EXPECT_EQ(parser.GetNodeText("Configuration/Default/RTPMode"), "B");
}

TEST(XMLParser, InvalidQueryIsNotFound) {
    const std::string xml = "<Configuration/>";
    CXMLParser parser;
    ASSERT_TRUE(parser.LoadFromBuffer(xml.data(), xml.size()));
    EXPECT_TRUE(parser.NodeExists("Configuration"));
    EXPECT_FALSE(parser.NodeExists("Configuration/Device[@address=\"a\"\"]"));
    EXPECT_EQ(parser.GetNodeText("Configuration/Device[@address="), "");
}

TEST(XMLParser, TextKeepsBlanksAndNestedElementsReadEmpty) {
    const std::string xml =
        "<Configuration><Default><A>  </A><B> 5 </B><C><D>1</D></C></Default></Configuration>";
    CXMLParser parser;
    ASSERT_TRUE(parser.LoadFromBuffer(xml.data(), xml.size()));
    EXPECT_EQ(parser.GetNodeText("Configuration/Default/A"), "  ");
    EXPECT_EQ(parser.GetNodeText("Configuration/Default/B"), " 5 ");
    EXPECT_EQ(parser.GetNodeText("Configuration/Default/C"), "");
}

TEST(HostDirectory, IsTheDirectoryOfThisExecutable) {
    const std::string dir = GetHostDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(access((dir + "test_base").c_str(), X_OK), 0) << dir;
}

}  // namespace
}  // namespace talvik

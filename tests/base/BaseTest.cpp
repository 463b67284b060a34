// The base layer's single-threaded pieces: debug levels, forwarding and
// throttling, the logger, the smart pointer, text, times and settings.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "base/Debug.h"
#include "base/Settings.h"
#include "base/SmartPtr.h"
#include "base/Text.h"
#include "base/Time.h"
#include "platform/Host.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

class RecordingSink : public IHostDebugSink {
public:
    void Report(const CDebugInfoIf* info) override {
        if (throws) throw std::runtime_error("host");
        const char* text = info->GetText();
        lines.push_back(std::to_string(info->GetLevel()) + (text ? std::string(" ") + text : ""));
    }
    std::vector<std::string> lines;
    bool throws = false;
};

void Forward(IHostDebugSink* sink, HostCoreVersion host, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ForwardDebugMessageV(sink, host, level, format, args);
    va_end(args);
}

// Levels 3 and 100 adapted to the host's version (no core library in the test
// process: read as 5.12). Level 4 is never shown, an empty text goes as a
// null pointer, a percent sign in an argument is not formatted again; a
// throwing sink loses its line.
TEST(DebugForward, LevelsAdaptedFourDroppedEmptyTextIsNullPercentKept) {
    RecordingSink sink;
    for (const HostCoreVersion& host : {HostCoreVersion{4, 99, 0, 0},
                                        {5, 11, 9, 0},
                                        {5, 12, 0, 0},
                                        {6, 2, 0, 0},
                                        {6, 3, 0, 0},
                                        ReadHostCoreVersion()}) {
        for (uint32_t level : {1u, 3u, 100u})
            Forward(&sink, host, level, "%u.%u", host.major, host.minor);
    }
    EXPECT_EQ(sink.lines, (std::vector<std::string>{
                              "1 4.99", "2 4.99", "2 4.99", "1 5.11", "2 5.11", "2 5.11", "1 5.12",
                              "3 5.12", "3 5.12", "1 6.2", "3 6.2", "3 6.2", "1 6.3", "3 6.3",
                              "100 6.3", "1 5.12", "3 5.12", "3 5.12"}));
    sink.lines.clear();
    const HostCoreVersion host{6, 3, 0, 0};
    Forward(&sink, host, 4, "%s: never", "tag");
    Forward(&sink, host, 1, "%s", "");
    Forward(&sink, host, 1, "%s: payload \"%s\"", "tag", "MP4V-ES%d%s");
    Forward(nullptr, host, 1, "no sink");
    EXPECT_EQ(sink.lines, (std::vector<std::string>{"1", "1 tag: payload \"MP4V-ES%d%s\""}));
    sink.throws = true;
    EXPECT_NO_THROW(Forward(&sink, host, 1, "x"));
}

// 1 to 14, then every 16th up to 255, every 256th up to 4095, every 4096th;
// at the 65535th call the counter falls back to 4095.
TEST(ReportThrottle, PassesTheDocumentedSequence) {
    uint32_t counter = 0;
    std::string passed;
    for (uint32_t n = 1; n <= 70000; ++n) {
        if (ReportThrottleDue(&counter)) passed += std::to_string(n) + " ";
    }
    EXPECT_EQ(passed,
              "1 2 3 4 5 6 7 8 9 10 11 12 13 14 16 32 48 64 80 96 112 128 144 160 176 192 208 "
              "224 240 256 512 768 1024 1280 1536 1792 2048 2304 2560 2816 3072 3328 3584 3840 "
              "4096 8192 12288 16384 20480 24576 28672 32768 36864 40960 45056 49152 53248 "
              "57344 61440 65536 69632 ");
    EXPECT_EQ(counter, 4095u + (70000u - 65535u));
}

TEST(LoggerInstance, SuppressesRepeatsAndThrottles) {
    talvik_test::RecordingLogger log;
    CLoggerInstance logger(&log);
    for (const char* text : {"A", "A", "B", "A", ""})
        logger.Log(1, "%s%s", *text ? "t: " : "", text);  // empty: no output, not counted
    logger.Log(1, "%s: 100%% \"%s\"", "t", "%s%n");
    const std::vector<talvik_test::LogLine> expected{
        {1, "t: A"}, {1, "t: B"}, {1, "t: A"}, {1, "t: 100% \"%s%n\""}};
    EXPECT_EQ(log.Lines(), expected);
    for (int i = 5; i <= 32; ++i)
        logger.Log(1, "message %d", i);
    EXPECT_EQ(log.Lines().size(), 16u);
    EXPECT_EQ(log.Lines().back().text, "message 32");
}

struct Tracked {
    explicit Tracked(int* deleted) : deleted_(deleted) {}
    virtual ~Tracked() { ++*deleted_; }
    int* deleted_;
};

// The count is a signed byte: references beyond 127 are refused, not wrapped.
TEST(SmartPtr, CountsDeletesOnceAndRefusesReferencesBeyondCounterRange) {
    int deleted = 0;
    {
        TSmartPtr<Tracked> owner(new Tracked(&deleted));
        std::vector<TSmartPtr<Tracked>> refs(200, owner);
        TSmartPtr<Tracked> moved(std::move(refs[0]));
        EXPECT_FALSE(refs[0]);
        size_t held = 0;
        for (const auto& r : refs)
            held += static_cast<bool>(r);
        EXPECT_EQ(held, 125u);
        EXPECT_EQ(owner.UseCount(), 127);
        refs.clear();
        EXPECT_EQ(owner.UseCount(), 2);
        owner.Reset(new Tracked(&deleted));
        EXPECT_EQ(deleted, 0);
        moved = owner;
        EXPECT_EQ(deleted, 1);
    }
    EXPECT_EQ(deleted, 2);
}

// GetParamValue over reply texts is replayed from the param_value fuzz seeds
// (tests/fuzz); NUL separates their fields, so it is here.
TEST(Text, ParseFormatTrimLowerAndResolve) {
    const std::string nul("x=\0&b=2", 7);
    EXPECT_EQ(GetParamValue(nul, "b", "=", "&"), "2");
    EXPECT_EQ(GetParamValue(nul, "x", "=", "&"), std::string(1, '\0'));
    // Like a 32-bit strtoul.
    std::string values;
    for (const char* text :
         {"", "65", "4294967294", "4294967295", "12a", " 42", "99999999999", "+7", "-1", "-7"})
        values += std::to_string(ParseUnsigned(text)) + " ";
    EXPECT_EQ(values, "0 65 4294967294 0 12 42 0 7 0 4294967289 ");
    const std::string big(10000, 'x');
    EXPECT_EQ(FormatString("%s:%hu <%s>", "10.0.0.5", static_cast<unsigned short>(80), big.c_str()),
              "10.0.0.5:80 <" + big + ">");
    EXPECT_EQ(TrimBlanks(" \t model \t"), "model");
    EXPECT_EQ(TrimBlanks(" \t "), "");
    EXPECT_EQ(TrimBlanks("a\nb"), "a\nb");  // only blanks and tabs
    EXPECT_EQ(ToLowerCase("RTPoverRTSP\xC4"), "rtpoverrtsp\xC4");
    const uint8_t loopback[4] = {127, 0, 0, 1};  // network byte order
    uint32_t expected = 0;
    std::memcpy(&expected, loopback, 4);
    EXPECT_EQ((std::vector<uint32_t>{ResolveHostAddress(""), ResolveHostAddress("127.0.0.1"),
                                     ResolveHostAddress("localhost"),
                                     ResolveHostAddress("no-such-host.invalid")}),
              (std::vector<uint32_t>{0, expected, expected, 0}));
}

std::string Text(const HostSystemTime& t) {
    return FormatString("%04u-%02u-%02u (%u) %02u:%02u:%02u.%03u", t.year, t.month, t.day,
                        t.dayOfWeek, t.hour, t.minute, t.second, t.milliseconds);
}

// Known instants both ways; invalid broken-down times give 0; elapsed time
// of an instant ahead is 0; the clock has millisecond resolution.
TEST(Time, ConversionsAndElapsedRules) {
    const std::pair<HostSystemTime, uint64_t> cases[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
        {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000ull},
        {{2026, 12, 0, 6, 23, 59, 59, 999}, 134410751999990000ull},
    };
    for (const auto& [time, value] : cases) {
        EXPECT_EQ(SystemTimeToTime(time), value) << Text(time);
        HostSystemTime back{};
        EXPECT_TRUE(TimeToSystemTime(value, &back));
        EXPECT_EQ(Text(back), Text(time));
    }
    const HostSystemTime bad[] = {{1600, 12, 0, 31, 0, 0, 0, 0}, {2023, 2, 0, 29, 0, 0, 0, 0},
                                  {2024, 13, 0, 1, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0, 0},
                                  {2024, 1, 0, 1, 24, 0, 0, 0},  {2024, 1, 0, 1, 0, 0, 60, 0},
                                  {2024, 1, 0, 1, 0, 0, 0, 1000}};
    for (const HostSystemTime& t : bad)
        EXPECT_EQ(SystemTimeToTime(t), 0u) << Text(t);
    HostSystemTime out;
    EXPECT_FALSE(TimeToSystemTime(0x8000000000000000ull, &out));
    CTime t;
    t.Set(NowFileTime() + 10ull * 1000 * 10000);  // 10 s ahead
    EXPECT_EQ(t.ElapsedMs(), 0u);
    EXPECT_EQ(NowFileTime() % kFileTimeUnitsPerMs, 0u) << "millisecond resolution";
    EXPECT_NEAR(double(ElapsedMsSince(0)), double(uint32_t(NowFileTime() / 10000)), 5000.0);
}

std::string Describe(const DeviceSettings& s) {
    return "light=" + std::to_string(s.IndoorLightFrequency) +
           " log=" + std::to_string(s.LogRtpSequence) + " rtp=" + std::to_string(s.RTPMode) +
           " block=" + std::to_string(s.RTPBlockSize) + " mode=" + std::to_string(s.BitrateMode) +
           " min=" + std::to_string(s.BitrateMin) + " max=" + std::to_string(s.BitrateMax);
}

// Each key's thresholds are replayed from the settings_reader fuzz seeds
// (tests/fuzz); here, how the file and its section are found. A device
// section is used alone: what it lacks is not taken from "Default" (no
// "BitrateMode" there means mode 2, no quality parameter).
TEST(SettingsFile, SectionChosenByAddressAndPortAsGiven) {
    for (const auto& row : test::DataRows("base/data/settings_sections.txt")) {
        const test::TempDir dir("talvik-settings");
        if (row[0] != "-")
            std::ofstream(dir.Path() + "/talvik_arecont.xml", std::ios::binary)
                << test::ReadFile(TALVIK_SOURCE_DIR "/tests/base/data/" + row[0]);
        DEVICE_INFO device;
        device.address = row[1];
        device.port = uint16_t(std::stoul(row[2]));
        EXPECT_EQ(Describe(LoadDeviceSettings(device, dir.Path() + "/", "talvik_arecont")), row[3])
            << row[1] << ":" << row[2];
    }
    EXPECT_EQ((std::vector<std::string>{
                  DeviceSettingsPath("/opt/host/", "drv"), DeviceSettingsPath("/opt/host", "drv"),
                  DeviceSettingsPath("", "drv"), DeviceSettingsPath("/opt/host/", "")}),
              (std::vector<std::string>{"/opt/host/drv.xml", "/opt/host/drv.xml", "drv.xml", ""}));
    // The directory of this program: Windows names it with ".exe" and ends
    // the directory with '\'.
    const std::string dir = GetHostDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(std::ifstream(dir + "test_base").good() ||
                std::ifstream(dir + "test_base.exe").good())
        << dir;
    EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\') << dir;
}

}  // namespace
}  // namespace talvik

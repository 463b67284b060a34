// The base layer's single-threaded parts: debug levels, forwarding and
// throttling, the logger, the smart pointer, text, times and settings.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>
#include <tuple>

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

TEST(DebugLevels, AdaptedToHostVersion) {
    // The last row: no core library in the test process, read as 5.12.
    const std::tuple<HostCoreVersion, uint32_t, uint8_t> cases[] = {
        {{5, 11, 9, 0}, 3, 2},   {{5, 11, 9, 0}, 1, 1},          {{4, 99, 0, 0}, 3, 2},
        {{5, 12, 0, 0}, 100, 3}, {{6, 2, 0, 0}, 100, 3},         {{6, 3, 0, 0}, 100, 100},
        {{6, 3, 0, 0}, 3, 3},    {ReadHostCoreVersion(), 100, 3}};
    for (const auto& [host, level, expected] : cases)
        EXPECT_EQ(AdaptLevel(level, host), expected) << host.minor << " level " << level;
}

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

void Forward(IHostDebugSink* sink, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ForwardDebugMessageV(sink, HostCoreVersion{5, 12, 0, 0}, level, format, args);
    va_end(args);
}

// Level 4 is never shown, an empty text goes as a null pointer, a percent sign
// in an argument is not formatted again, the level is adapted to the host
// (5.12 here); a throwing sink loses its line.
TEST(DebugForward, LevelFourDroppedEmptyTextIsNullPercentKept) {
    RecordingSink sink;
    Forward(&sink, 4, "%s: never", "tag");
    Forward(&sink, 1, "%s", "");
    Forward(&sink, 1, "%s: payload \"%s\"", "tag", "MP4V-ES%d%s");
    Forward(nullptr, 1, "no sink");
    Forward(&sink, 100, "opened");  // adapted to the host
    EXPECT_EQ(sink.lines,
              (std::vector<std::string>{"1", "1 tag: payload \"MP4V-ES%d%s\"", "3 opened"}));
    sink.throws = true;
    EXPECT_NO_THROW(Forward(&sink, 1, "x"));
}

// 1 to 14, then every 16th up to 255, every 256th up to 4095, every 4096th;
// at the 65535th call the counter falls back to 4095.
TEST(ReportThrottle, PassesTheDocumentedSequence) {
    uint32_t counter = 0;
    std::set<uint32_t> passed;
    for (uint32_t n = 1; n <= 70000; ++n) {
        if (ReportThrottleDue(&counter)) passed.insert(n);
    }
    const std::pair<uint32_t, bool> calls[] = {
        {14, true},     {15, false},   {16, true},     {17, false},   {240, true},  {255, false},
        {256, true},    {272, false},  {3840, true},   {4095, false}, {4096, true}, {61440, true},
        {65535, false}, {65536, true}, {69631, false}, {69632, true},
    };
    for (const auto& [n, due] : calls)
        EXPECT_EQ(passed.count(n) == 1, due) << "call " << n;
    EXPECT_EQ(passed.size(), 61u);
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
// (tests/fuzz); NUL separates their parts, so it is here.
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

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "base/Debug.h"
#include "base/SmartPtr.h"
#include "base/Text.h"
#include "support/RecordingLogger.h"

using talvik::HostCoreVersion;

namespace {

TEST(DebugLevels, AdaptedToHostVersion) {
    // The last row: no core library in the test process, read as 5.12.
    const std::tuple<HostCoreVersion, uint32_t, uint8_t> cases[] = {
        {{5, 11, 9, 0}, 3, 2},  {{5, 11, 9, 0}, 1, 1},
        {{4, 99, 0, 0}, 3, 2},  {{5, 12, 0, 0}, 100, 3},
        {{6, 2, 0, 0}, 100, 3}, {{6, 3, 0, 0}, 100, 100},
        {{6, 3, 0, 0}, 3, 3},   {talvik::ReadHostCoreVersion(), 100, 3}};
    for (const auto& [host, level, expected] : cases)
        EXPECT_EQ(talvik::AdaptLevel(level, host), expected) << host.minor << " level " << level;
}

class RecordingSink : public talvik::IHostDebugSink {
public:
    void Report(const talvik::CDebugInfoIf* info) override {
        if (throws) throw std::runtime_error("host");
        const char* text = info->GetText();
        lines.push_back(std::to_string(info->GetLevel()) + (text ? std::string(" ") + text : ""));
    }
    std::vector<std::string> lines;
    bool throws = false;
};

void Forward(talvik::IHostDebugSink* sink, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    talvik::ForwardDebugMessageV(sink, HostCoreVersion{6, 3, 0, 0}, level, format, args);
    va_end(args);
}

// Level 4 is never shown, an empty text goes as a null pointer, and a percent
// sign in an argument is not formatted again; a throwing sink loses its line.
TEST(DebugForward, LevelFourDroppedEmptyTextIsNullPercentKept) {
    RecordingSink sink;
    Forward(&sink, 4, "%s: never", "tag");
    Forward(&sink, 1, "%s", "");
    Forward(&sink, 1, "%s: payload \"%s\"", "tag", "MP4V-ES%d%s");
    Forward(nullptr, 1, "no sink");
    EXPECT_EQ(sink.lines, (std::vector<std::string>{"1", "1 tag: payload \"MP4V-ES%d%s\""}));
    sink.throws = true;
    EXPECT_NO_THROW(Forward(&sink, 1, "x"));
}

// 1 to 14, then every 16th up to 255, every 256th up to 4095, every 4096th;
// at the 65535th call the counter falls back to 4095.
TEST(ReportThrottle, PassesTheDocumentedSequence) {
    uint32_t counter = 0;
    std::set<uint32_t> passed;
    for (uint32_t n = 1; n <= 70000; ++n) {
        if (talvik::ReportThrottleDue(&counter)) passed.insert(n);
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
    talvik::CLoggerInstance logger(&log);
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
        talvik::TSmartPtr<Tracked> owner(new Tracked(&deleted));
        std::vector<talvik::TSmartPtr<Tracked>> refs(200, owner);
        talvik::TSmartPtr<Tracked> moved(std::move(refs[0]));
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

}  // namespace

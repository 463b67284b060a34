#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Debug.h"
#include "base/SmartPtr.h"
#include "base/Text.h"
#include "support/RecordingLogger.h"

using talvik::HostCoreVersion;

namespace {

class RecordingSink : public talvik::IHostDebugSink {
public:
    struct Record {
        uint8_t level;
        bool hasText;
        std::string text;
    };
    void Report(const talvik::CDebugInfoIf* info) override {
        const char* text = info->GetText();
        records.push_back({info->GetLevel(), text != nullptr, text ? text : ""});
    }
    std::vector<Record> records;
};

void Forward(talvik::IHostDebugSink* sink, const HostCoreVersion& host, uint32_t level,
             const char* format, ...) {
    va_list args;
    va_start(args, format);
    talvik::ForwardDebugMessageV(sink, host, level, format, args);
    va_end(args);
}

TEST(DebugLevels, AdaptedToHostVersion) {
    struct Case {
        HostCoreVersion host;
        uint32_t level;
        uint8_t expected;
    } cases[] = {
        {{5, 11, 9, 0}, 3, 2},   {{5, 11, 9, 0}, 1, 1},  {{4, 99, 0, 0}, 3, 2},
        {{5, 12, 0, 0}, 100, 3}, {{6, 2, 0, 0}, 100, 3}, {{6, 3, 0, 0}, 100, 100},
        {{6, 3, 0, 0}, 3, 3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(talvik::AdaptLevel(c.level, c.host), c.expected)
            << c.host.major << "." << c.host.minor << " level " << c.level;
    }
}

TEST(DebugLevels, UnreadableVersionActsAs512) {
    // No core library in the test process: the fallback is used.
    const HostCoreVersion read = talvik::ReadHostCoreVersion();
    EXPECT_EQ(read.major, 5);
    EXPECT_EQ(read.minor, 12);
    EXPECT_EQ(talvik::AdaptLevel(100, read), 3);
}

TEST(DebugForward, LevelFourDroppedEmptyTextIsNullPercentKept) {
    RecordingSink sink;
    const HostCoreVersion v63{6, 3, 0, 0};
    Forward(&sink, v63, 4, "%s: never", "tag");
    Forward(&sink, v63, 1, "%s", "");
    Forward(&sink, v63, 1, "%s: payload \"%s\"", "tag", "MP4V-ES%d%s");
    Forward(nullptr, v63, 1, "no sink");
    ASSERT_EQ(sink.records.size(), 2u);
    EXPECT_EQ(sink.records[0].level, 1);
    EXPECT_FALSE(sink.records[0].hasText);
    EXPECT_EQ(sink.records[1].text, "tag: payload \"MP4V-ES%d%s\"");
}

TEST(DebugForward, ThrowingSinkDoesNotEscape) {
    struct Throwing : talvik::IHostDebugSink {
        void Report(const talvik::CDebugInfoIf*) override { throw std::runtime_error("host"); }
    } sink;
    EXPECT_NO_THROW(Forward(&sink, HostCoreVersion{}, 1, "x"));
}

TEST(ReportThrottle, PassesTheDocumentedSequence) {
    uint32_t counter = 0;
    std::vector<uint32_t> passed;
    for (uint32_t n = 1; n <= 70000; ++n) {
        if (talvik::ReportThrottleDue(&counter)) passed.push_back(n);
    }
    std::vector<uint32_t> expected;
    for (uint32_t n = 1; n <= 14; ++n)
        expected.push_back(n);
    for (uint32_t n = 16; n < 255; n += 16)
        expected.push_back(n);
    for (uint32_t n = 256; n < 4095; n += 256)
        expected.push_back(n);
    for (uint32_t n = 4096; n < 65535; n += 4096)
        expected.push_back(n);
    // At the 65535th call the counter falls back to 4095, so the next pass
    // comes one call later (counter 4096 again).
    expected.push_back(65536);
    expected.push_back(65536 + 4096);
    EXPECT_EQ(passed, expected);
    EXPECT_EQ(counter, 4095u + (70000u - 65535u));
}

TEST(LoggerInstance, SuppressesRepeatsAndThrottles) {
    talvik_test::RecordingLogger log;
    talvik::CLoggerInstance logger(&log);
    logger.Log(1, "%s: A", "t");
    logger.Log(1, "%s: A", "t");
    logger.Log(1, "%s: B", "t");
    logger.Log(1, "%s: A", "t");
    logger.Log(1, "%s", "");  // empty: no output, not counted
    logger.Log(1, "%s: 100%% \"%s\"", "t", "%s%n");
    const std::vector<talvik_test::LogLine> expected{
        {1, "t: A"}, {1, "t: B"}, {1, "t: A"}, {1, "t: 100% \"%s%n\""}};
    EXPECT_EQ(log.Lines(), expected);

    talvik_test::RecordingLogger many;
    talvik::CLoggerInstance flood(&many);
    for (int i = 1; i <= 32; ++i)
        flood.Log(1, "message %d", i);
    // 1 to 14, then every 16th.
    ASSERT_EQ(many.Lines().size(), 16u);
    EXPECT_EQ(many.Lines()[14].text, "message 16");
    EXPECT_EQ(many.Lines()[15].text, "message 32");
}

struct Tracked {
    explicit Tracked(int* deleted) : deleted_(deleted) {}
    virtual ~Tracked() { ++*deleted_; }
    int* deleted_;
};

TEST(SmartPtr, CountsAndDeletesOnce) {
    int deleted = 0;
    {
        talvik::TSmartPtr<Tracked> a(new Tracked(&deleted));
        EXPECT_EQ(a.UseCount(), 1);
        {
            talvik::TSmartPtr<Tracked> b(a);
            talvik::TSmartPtr<Tracked> c;
            c = b;
            EXPECT_EQ(a.UseCount(), 3);
            talvik::TSmartPtr<Tracked> d(std::move(c));
            EXPECT_FALSE(c);
            EXPECT_EQ(a.UseCount(), 3);
        }
        EXPECT_EQ(a.UseCount(), 1);
        EXPECT_EQ(deleted, 0);
        a.Reset(new Tracked(&deleted));
        EXPECT_EQ(deleted, 1);
    }
    EXPECT_EQ(deleted, 2);
}

TEST(SmartPtr, RefusesReferencesBeyondCounterRange) {
    int deleted = 0;
    talvik::TSmartPtr<Tracked> owner(new Tracked(&deleted));
    std::vector<talvik::TSmartPtr<Tracked>> refs;
    for (int i = 0; i < 200; ++i)
        refs.emplace_back(owner);
    size_t held = 0;
    for (const auto& r : refs)
        held += static_cast<bool>(r);
    EXPECT_EQ(held, 126u);
    EXPECT_EQ(owner.UseCount(), 127);
    refs.clear();
    EXPECT_EQ(owner.UseCount(), 1);
    EXPECT_EQ(deleted, 0);
}

}  // namespace

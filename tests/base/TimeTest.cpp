#include <gtest/gtest.h>

#include "base/Text.h"
#include "base/Time.h"

using talvik::HostSystemTime;

namespace {

std::string Text(const HostSystemTime& t) {
    return talvik::FormatString("%04u-%02u-%02u (%u) %02u:%02u:%02u.%03u", t.year, t.month, t.day,
                                t.dayOfWeek, t.hour, t.minute, t.second, t.milliseconds);
}

TEST(Time, ConversionsOfKnownInstantsBothWays) {
    const std::pair<HostSystemTime, uint64_t> cases[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
        {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000ull},
        {{2026, 12, 0, 6, 23, 59, 59, 999}, 134410751999990000ull},
    };
    for (const auto& [time, value] : cases) {
        EXPECT_EQ(talvik::SystemTimeToTime(time), value) << Text(time);
        HostSystemTime back{};
        EXPECT_TRUE(talvik::TimeToSystemTime(value, &back));
        EXPECT_EQ(Text(back), Text(time));
    }
}

TEST(Time, InvalidBrokenDownTimesGiveZero) {
    const HostSystemTime bad[] = {{1600, 12, 0, 31, 0, 0, 0, 0}, {2023, 2, 0, 29, 0, 0, 0, 0},
                                  {2024, 13, 0, 1, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0, 0},
                                  {2024, 1, 0, 1, 24, 0, 0, 0},  {2024, 1, 0, 1, 0, 0, 60, 0},
                                  {2024, 1, 0, 1, 0, 0, 0, 1000}};
    for (const HostSystemTime& t : bad)
        EXPECT_EQ(talvik::SystemTimeToTime(t), 0u) << Text(t);
    HostSystemTime out;
    EXPECT_FALSE(talvik::TimeToSystemTime(0x8000000000000000ull, &out));
}

TEST(Time, ElapsedRules) {
    talvik::CTime t;
    t.Set(talvik::NowFileTime() + 10ull * 1000 * 10000);  // 10 s ahead
    EXPECT_EQ(t.ElapsedMs(), 0u);
    const uint64_t now = talvik::NowFileTime();
    EXPECT_EQ(now % talvik::kFileTimeUnitsPerMs, 0u) << "millisecond resolution";
    EXPECT_NEAR(double(talvik::ElapsedMsSince(0)), double(uint32_t(now / 10000)), 5000.0);
}

}  // namespace

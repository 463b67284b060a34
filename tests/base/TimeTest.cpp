#include <gtest/gtest.h>

#include "base/Time.h"

using talvik::HostSystemTime;

namespace {

TEST(Time, ConversionsOfKnownInstants) {
    struct Case {
        HostSystemTime st;
        uint64_t value;
    } cases[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
        {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000ull},
        {{2026, 12, 0, 6, 23, 59, 59, 999}, 134410751999990000ull},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(talvik::SystemTimeToTime(c.st), c.value) << c.st.year;
        HostSystemTime back;
        ASSERT_TRUE(talvik::TimeToSystemTime(c.value, &back));
        EXPECT_EQ(back.year, c.st.year);
        EXPECT_EQ(back.month, c.st.month);
        EXPECT_EQ(back.day, c.st.day);
        EXPECT_EQ(back.dayOfWeek, c.st.dayOfWeek);
        EXPECT_EQ(back.hour, c.st.hour);
        EXPECT_EQ(back.minute, c.st.minute);
        EXPECT_EQ(back.second, c.st.second);
        EXPECT_EQ(back.milliseconds, c.st.milliseconds);
    }
}

TEST(Time, InvalidBrokenDownTimesGiveZero) {
    const HostSystemTime bad[] = {{1600, 12, 0, 31, 0, 0, 0, 0}, {2023, 2, 0, 29, 0, 0, 0, 0},
                              {2024, 13, 0, 1, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0, 0},
                              {2024, 1, 0, 1, 24, 0, 0, 0},  {2024, 1, 0, 1, 0, 0, 60, 0},
                              {2024, 1, 0, 1, 0, 0, 0, 1000}};
    for (const HostSystemTime& t : bad)
        EXPECT_EQ(talvik::SystemTimeToTime(t), 0u);
    HostSystemTime out;
    EXPECT_FALSE(talvik::TimeToSystemTime(0x8000000000000000ull, &out));
}

TEST(Time, ElapsedRules) {
    talvik::CTime t;
    t.SetNow();
    EXPECT_LT(t.ElapsedMs(), 1000u);
    t.Set(talvik::NowFileTime() + 10ull * 1000 * 10000);  // 10 s ahead
    EXPECT_EQ(t.ElapsedMs(), 0u);
    const uint64_t now = talvik::NowFileTime();
    EXPECT_EQ(now % talvik::kFileTimeUnitsPerMs, 0u) << "millisecond resolution";
    const uint32_t sinceEpoch = talvik::ElapsedMsSince(0);
    EXPECT_NEAR(static_cast<double>(sinceEpoch),
                static_cast<double>(static_cast<uint32_t>(now / 10000)), 5000.0);
}

}  // namespace

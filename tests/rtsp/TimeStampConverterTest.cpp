#include "rtsp/TimeStampConverter.h"

#include "base/Time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace talvik {
namespace {

constexpr uint64_t kMs = 10000;        // 100-ns units
constexpr uint64_t kFrame = 40 * kMs;  // 25 frames per second
constexpr uint32_t kRtpFrame = 3600;   // 40 ms at 90 kHz
constexpr uint64_t kStart = 133000000000000000ULL;

class ConverterTest : public ::testing::Test {
protected:
    uint64_t clock = kStart;
    CTimeStampConverter converter{[this] { return clock; }};

    // n frames at exactly 25 fps on both clocks, starting at timestamp `ts`.
    void Steady(int n, uint32_t& ts) {
        for (int i = 0; i < n; ++i) {
            ts += kRtpFrame;
            clock += kFrame;
            converter.Convert(ts);
        }
    }
};

TEST_F(ConverterTest, SteadyStreamGivesTimes40msApartThroughWarmUp) {
    EXPECT_FALSE(converter.HasTime());
    converter.Convert(0);
    std::vector<uint64_t> times;
    uint32_t ts = 0;
    for (int i = 0; i < 300; ++i) {
        Steady(1, ts);
        times.push_back(converter.CurrentTime());
    }
    for (size_t i = 1; i < times.size(); ++i)
        ASSERT_EQ(times[i] - times[i - 1], kFrame) << i;
    EXPECT_EQ(converter.CurrentTime(), clock);
    EXPECT_TRUE(converter.HasTime());
}

// Frames arriving together are spread by their RTP steps, also across the
// wrap of RTP time (about every 13 hours at 90 kHz, possibly through 0).
TEST_F(ConverterTest, RtpTimestampWrapDoesNotRestartTheTime) {
    for (const uint32_t start : {1000u, 0u - 2 * kRtpFrame, 0u - kRtpFrame / 2, 0u}) {
        CTimeStampConverter c{[this] { return clock; }};
        c.Convert(start);
        const uint64_t first = c.CurrentTime();
        for (uint32_t i = 1; i <= 4; ++i) {
            c.Convert(start + i * kRtpFrame);  // clock does not move
            EXPECT_EQ(c.CurrentTime(), first + i * kRtpFrame * 111) << start << " frame " << i;
        }
    }
}

// A jump during warm-up, a stall in delivery, and a jump too large to smooth
// (scaled by a full window's mean an hour would still put the time about 40 s
// ahead, stamping the next thousand frames in the future).
TEST_F(ConverterTest, TimeRestartsAtTheClock) {
    const struct {
        int steadyFrames;
        uint64_t clockStep;
        uint32_t rtpStep;
    } cases[] = {
        {10, kFrame, 2 * 90000}, {150, 3000 * kMs, kRtpFrame}, {1100, kFrame, 3600u * 90000u}};
    for (const auto& c : cases) {
        CTimeStampConverter fresh{[this] { return clock; }};
        uint32_t ts = 9000;
        fresh.Convert(ts);
        for (int i = 0; i < c.steadyFrames; ++i) {
            ts += kRtpFrame;
            clock += kFrame;
            fresh.Convert(ts);
        }
        clock += c.clockStep;
        fresh.Convert(ts + c.rtpStep);
        EXPECT_EQ(fresh.CurrentTime(), clock) << c.steadyFrames;
        EXPECT_EQ(fresh.Drift(), 0u) << c.steadyFrames;
        EXPECT_EQ(fresh.LastRtpTimestamp(), ts + c.rtpStep) << c.steadyFrames;
    }
}

// A repeated timestamp advances the time by 1 ms, or to the clock when that is later.
TEST_F(ConverterTest, RepeatedTimestampAdvancesOneMsOrToTheClock) {
    const uint64_t cases[][2] = {{0, kMs}, {2 * kFrame, 2 * kFrame - 3600 * 111}};
    for (const auto& [clockAdvance, expectedAdvance] : cases) {
        clock = kStart;
        CTimeStampConverter c{[this] { return clock; }};
        c.Convert(3600);
        c.Convert(7200);  // clock unchanged: time is ahead by one step
        const uint64_t before = c.CurrentTime();
        ASSERT_EQ(before, kStart + 3600 * 111);
        clock += clockAdvance;
        c.Convert(7200);
        EXPECT_EQ(c.CurrentTime(), before + expectedAdvance) << clockAdvance;
    }
}

TEST_F(ConverterTest, ForwardJumpAfterWarmUpIsSmoothedBackTowardsTheClock) {
    uint32_t ts = 9000;
    converter.Convert(ts);
    Steady(150, ts);
    ts += 5 * 90000;  // 5 s of timestamps in one step, clock 40 ms
    clock += kFrame;
    converter.Convert(ts);
    const uint64_t ahead = converter.CurrentTime() - clock;
    // The jump also enters the RTP mean, which damps its own step.
    EXPECT_GT(ahead, CTimeStampConverter::kDriftThreshold);
    EXPECT_LT(ahead, 5000 * kMs);
    EXPECT_EQ(converter.Drift(), ahead);
    // Later frames advance by less than their 40 ms until the lead is worked off.
    uint64_t previous = converter.CurrentTime();
    for (int i = 0; i < 20; ++i) {
        Steady(1, ts);
        const uint64_t step = converter.CurrentTime() - previous;
        EXPECT_GT(step, 0u);
        EXPECT_LT(step, kFrame);
        previous = converter.CurrentTime();
    }
    EXPECT_LT(converter.Drift(), ahead);
}

TEST_F(ConverterTest, GetTimeGivesTheConvertedTimeOnceThereIsOne) {
    HostSystemTime out;
    converter.GetTime(&out);  // nothing converted: the real current time
    EXPECT_GE(out.year, 2024);
    clock = SystemTimeToTime(HostSystemTime{2026, 12, 0, 6, 10, 20, 30, 456});
    ASSERT_NE(clock, 0u);
    converter.Convert(3600);
    converter.Convert(7200);  // clock unchanged: one step (39.96 ms) ahead
    converter.GetTime(&out);
    EXPECT_EQ(SystemTimeToTime(out), clock + 39 * kMs);
}

}  // namespace
}  // namespace talvik

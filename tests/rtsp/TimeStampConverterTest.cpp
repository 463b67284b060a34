#include "rtsp/TimeStampConverter.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "base/Time.h"

namespace talvik {
namespace {

constexpr uint64_t kMs = 10000;        // 100-ns units
constexpr uint64_t kFrame = 40 * kMs;  // 25 frames per second
constexpr uint32_t kRtpFrame = 3600;   // 40 ms at 90 kHz
constexpr uint64_t kStart = 133000000000000000ULL;

struct ConverterTest : ::testing::Test {
    uint64_t clock = kStart;

    // One frame at exactly 25 fps on both clocks after timestamp ts.
    void Step(CTimeStampConverter& c, uint32_t& ts) {
        clock += kFrame;
        c.Convert(ts += kRtpFrame);
    }
    // A converter that has converted ts and then n steady frames; ts is the last.
    CTimeStampConverter Steady(uint32_t& ts, int n) {
        CTimeStampConverter c{[this] { return clock; }};
        c.Convert(ts);
        for (int i = 0; i < n; ++i)
            Step(c, ts);
        return c;
    }
};

TEST_F(ConverterTest, SteadyStreamGivesTimes40msApartThroughWarmUp) {
    EXPECT_FALSE(CTimeStampConverter([this] { return clock; }).HasTime());
    uint32_t ts = 0;
    CTimeStampConverter c = Steady(ts, 1);
    for (int i = 0; i < 299; ++i) {
        const uint64_t before = c.CurrentTime();
        Step(c, ts);
        ASSERT_EQ(c.CurrentTime() - before, kFrame) << i;
    }
    EXPECT_EQ(c.CurrentTime(), clock);
    EXPECT_TRUE(c.HasTime());
}

// Frames arriving together are spread by their RTP steps, also across the
// wrap of RTP time (about every 13 hours at 90 kHz, possibly through 0). A
// repeated timestamp then advances the time by 1 ms, or to the clock when
// that is later.
TEST_F(ConverterTest, RtpWrapKeepsTheTimeAndRepeatsAdvanceOneMsOrToTheClock) {
    for (uint32_t start : {1000u, 0u - 2 * kRtpFrame, 0u - kRtpFrame / 2, 0u}) {
        CTimeStampConverter c = Steady(start, 0);
        const uint64_t first = c.CurrentTime();
        for (uint32_t i = 1; i <= 4; ++i) {
            c.Convert(start + i * kRtpFrame);  // clock does not move
            EXPECT_EQ(c.CurrentTime(), first + i * kRtpFrame * 111) << start << " frame " << i;
        }
        c.Convert(start + 4 * kRtpFrame);
        EXPECT_EQ(c.CurrentTime(), first + 4 * kRtpFrame * 111 + kMs) << start;
        clock += 5 * kFrame;  // 200 ms: later than the time plus 1 ms
        c.Convert(start + 4 * kRtpFrame);
        EXPECT_EQ(c.CurrentTime(), clock) << start;
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
    for (const auto& s : cases) {
        uint32_t ts = 9000;
        CTimeStampConverter c = Steady(ts, s.steadyFrames);
        clock += s.clockStep;
        c.Convert(ts + s.rtpStep);
        EXPECT_EQ(c.CurrentTime(), clock) << s.steadyFrames;
        EXPECT_EQ(c.Drift(), 0u) << s.steadyFrames;
        EXPECT_EQ(c.LastRtpTimestamp(), ts + s.rtpStep) << s.steadyFrames;
    }
}

TEST_F(ConverterTest, ForwardJumpAfterWarmUpIsSmoothedBackTowardsTheClock) {
    uint32_t ts = 9000;
    CTimeStampConverter c = Steady(ts, 150);
    ts += 5 * 90000;  // 5 s of timestamps in one step, clock 40 ms
    clock += kFrame;
    c.Convert(ts);
    const uint64_t ahead = c.CurrentTime() - clock;
    // The jump also enters the RTP mean, which damps its own step.
    EXPECT_GT(ahead, CTimeStampConverter::kDriftThreshold);
    EXPECT_LT(ahead, 5000 * kMs);
    EXPECT_EQ(c.Drift(), ahead);
    // Later frames advance by less than their 40 ms until the lead is worked off.
    for (int i = 0; i < 20; ++i) {
        const uint64_t before = c.CurrentTime();
        Step(c, ts);
        EXPECT_GT(c.CurrentTime() - before, 0u);
        EXPECT_LT(c.CurrentTime() - before, kFrame);
    }
    EXPECT_LT(c.Drift(), ahead);
}

TEST_F(ConverterTest, GetTimeGivesTheConvertedTimeOnceThereIsOne) {
    CTimeStampConverter c{[this] { return clock; }};
    HostSystemTime out;
    c.GetTime(&out);  // nothing converted: the real current time
    EXPECT_GE(out.year, 2024);
    clock = SystemTimeToTime(HostSystemTime{2026, 12, 0, 6, 10, 20, 30, 456});
    ASSERT_NE(clock, 0u);
    c.Convert(3600);
    c.Convert(7200);  // clock unchanged: one step (39.96 ms) ahead
    c.GetTime(&out);
    EXPECT_EQ(SystemTimeToTime(out), clock + 39 * kMs);
}

}  // namespace
}  // namespace talvik

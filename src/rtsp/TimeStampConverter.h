// Turns the RTP timestamps of one stream into wall-clock frame times: the time
// advances by the RTP step scaled to the local clock's pace, is smoothed
// against jitter of the arrival times, and restarts at the clock whenever it
// falls behind it or runs off.
#pragma once

#include <cstdint>
#include <functional>

#include "rtsp/StatisticsHelper.h"

namespace talvik {

struct HostSystemTime;

class CTimeStampConverter {
public:
    // Current UTC time in 100-ns units since 1601; injectable for tests.
    using Clock = std::function<uint64_t()>;

    CTimeStampConverter();
    explicit CTimeStampConverter(Clock clock);
    virtual ~CTimeStampConverter() = default;

    void Convert(uint32_t timestamp);
    // The converted time when there is one, otherwise the current time.
    void GetTime(HostSystemTime* out) const;
    void Reset();

    // The converted time of the last timestamp, 0 when there is none.
    uint64_t CurrentTime() const { return currentTime_; }
    uint32_t LastRtpTimestamp() const { return lastRtpTimestamp_; }
    uint64_t Drift() const { return drift_; }
    bool HasTime() const { return currentTime_ != 0 && hasTimestamp_; }

    void SetSmoothing(bool on) { smoothing_ = on; }
    void SetFixedStep(uint64_t step) { fixedStep_ = step; }

    static constexpr uint64_t kOneMs = 10000;
    static constexpr uint64_t kWarmUpJumpLimit = 10000000;  // 1 s
    static constexpr uint64_t kDriftThreshold = 2500000;    // 250 ms
    // Beyond this the time is not smoothed back but restarted at the clock.
    static constexpr uint64_t kRunAwayLimit = 100000000;  // 10 s
    static constexpr size_t kWarmUpSteps = 100;

private:
    void ConvertSmoothed(uint32_t timestamp);
    void ConvertFixedStep(uint32_t timestamp);
    void Restart(uint64_t now, uint32_t timestamp);

    Clock clock_;
    uint64_t currentTime_ = 0;
    uint32_t lastRtpTimestamp_ = 0;
    bool hasTimestamp_ = false;  // 0 is a timestamp like any other
    uint64_t drift_ = 0;
    TStatisticsHelper<unsigned int> rtpDeltas_;
    TStatisticsHelper<unsigned int> clockDeltas_;
    uint64_t lastClock_ = 0;
    bool smoothing_ = true;
    uint64_t fixedStep_ = 0;
};

}  // namespace talvik

#include "rtsp/TimeStampConverter.h"

#include <algorithm>
#include <utility>

#include "base/Time.h"

namespace talvik {

CTimeStampConverter::CTimeStampConverter() : CTimeStampConverter(Clock(&NowFileTime)) {}

CTimeStampConverter::CTimeStampConverter(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) clock_ = &NowFileTime;
}

void CTimeStampConverter::Reset() {
    currentTime_ = 0;
    lastRtpTimestamp_ = 0;
    hasTimestamp_ = false;
    drift_ = 0;
    rtpDeltas_.Clear();
    clockDeltas_.Clear();
    lastClock_ = 0;
    smoothing_ = true;
    fixedStep_ = 0;
}

void CTimeStampConverter::Convert(uint32_t timestamp) {
    if (smoothing_) {
        ConvertSmoothed(timestamp);
    } else {
        ConvertFixedStep(timestamp);
    }
}

void CTimeStampConverter::Restart(uint64_t now, uint32_t timestamp) {
    currentTime_ = now;
    drift_ = 0;
    lastClock_ = now;
    lastRtpTimestamp_ = timestamp;
    hasTimestamp_ = true;
}

void CTimeStampConverter::ConvertSmoothed(uint32_t timestamp) {
    const uint64_t now = clock_();
    if (now == 0 || currentTime_ == 0 || !hasTimestamp_) {
        Restart(now, timestamp);
        return;
    }
    bool forced = false;
    // RTP time wraps (every 13 h at 90 kHz) and may pass through 0: steps are
    // the signed 32-bit difference.
    const int32_t difference = static_cast<int32_t>(timestamp - lastRtpTimestamp_);
    if (difference <= 0) {
        // Same picture again (or reordered): keep the times strictly increasing.
        currentTime_ = std::max(currentTime_ + kOneMs, now);
        forced = true;
    } else {
        const uint32_t step = static_cast<uint32_t>(difference);
        rtpDeltas_.Add(step);
        if (now >= lastClock_) clockDeltas_.Add(uint32_t(now - lastClock_));
        if (rtpDeltas_.Count() <= kWarmUpSteps) {
            // Until the window says otherwise, assume a 90 kHz clock (about 111 x 100 ns).
            const uint64_t advance = uint64_t(step) * 111;
            if (advance >= kWarmUpJumpLimit) {
                Restart(now, timestamp);
                return;
            }
            currentTime_ += advance;
            forced = rtpDeltas_.Count() == kWarmUpSteps;
        } else {
            uint64_t advance = uint64_t(step) * 111;
            const double rtpMean = rtpDeltas_.Mean();
            if (rtpMean > 0 && clockDeltas_.Count() > 0) {
                // Clamped so that the conversion to an integer stays defined.
                const double scaled = double(step) * (clockDeltas_.Mean() / rtpMean) + 0.5;
                advance = uint64_t(std::min(scaled, 1e18));
            }
            if (drift_ > 10000 && advance > 40000) {
                const uint64_t correction =
                    std::max<uint64_t>(10000, std::min(drift_, advance / 10));
                advance -= correction;
                drift_ -= correction;
            }
            currentTime_ += advance;
        }
    }
    if (currentTime_ > now) {
        const uint64_t ahead = currentTime_ - now;
        if (ahead > kRunAwayLimit) {
            // A timestamp jump far beyond any smoothing: trust the clock again.
            Restart(now, timestamp);
            return;
        }
        if (forced || ahead > kDriftThreshold) drift_ = ahead;
        lastClock_ = now;
        lastRtpTimestamp_ = timestamp;
        return;
    }
    // The converted time fell behind the clock.
    Restart(now, timestamp);
}

void CTimeStampConverter::ConvertFixedStep(uint32_t timestamp) {
    if (fixedStep_ == 0 || currentTime_ == 0) return;
    const int32_t difference = static_cast<int32_t>(timestamp - lastRtpTimestamp_);
    if (!hasTimestamp_) {
        lastRtpTimestamp_ = timestamp;
        hasTimestamp_ = true;
    } else if (difference == 0) {
        currentTime_ += fixedStep_;
    } else if (difference > 0) {
        currentTime_ += uint64_t(difference) * 100;
        lastRtpTimestamp_ = timestamp;
    }
}

}  // namespace talvik

namespace talvik {

void CTimeStampConverter::GetTime(HostSystemTime* out) const {
    if (out == nullptr) return;
    if (HasTime() && TimeToSystemTime(currentTime_, out)) return;
    TimeToSystemTime(NowFileTime(), out);
}

}  // namespace talvik

// Wall-clock time as unsigned 64-bit counts of 100-ns units since
// 1601-01-01 00:00:00 UTC (0 means "no time"), and a monotonic millisecond tick.
#pragma once

#include <cstdint>

#include "base/Lock.h"
#include "talvik/HostFrame.h"

namespace talvik {

// Broken-down times are the host's HostSystemTime, so frames take them as is.

// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
constexpr uint64_t kFileTimeUnitsPerMs = 10000;

// Current UTC time at millisecond resolution; 0 if the clock cannot be read.
uint64_t NowFileTime();
// 0 when a field is out of range (the year must lie in 1601..30827).
uint64_t SystemTimeToTime(const HostSystemTime& time);
bool TimeToSystemTime(uint64_t value, HostSystemTime* out);
// Milliseconds from value to now, 0 when value is not earlier than now;
// truncated to 32 bits.
uint32_t ElapsedMsSince(uint64_t value);

// Monotonic milliseconds, wrapping at 32 bits (for intervals, not dates).
uint32_t TickCountMs();

// A thread-safe holder of one instant.
class CTime {
public:
    CTime();
    virtual ~CTime() = default;

    uint64_t Get();
    void Set(uint64_t value);
    void SetNow();
    uint32_t ElapsedMs();

private:
    CLock lock_;
    uint64_t value_;
};

}  // namespace talvik

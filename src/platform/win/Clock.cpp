#include <windows.h>

#include "platform/Clock.h"

namespace talvik {

namespace {

// 100-ns units from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

uint64_t CounterFrequency() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f{};
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? uint64_t(f.QuadPart) : 0ull;
    }();
    return frequency;
}

}  // namespace

bool SystemClockMs(uint64_t* ms) {
    // The system time in UTC, broken down, then as a file time.
    SYSTEMTIME now{};
    GetSystemTime(&now);
    FILETIME file{};
    if (!SystemTimeToFileTime(&now, &file)) return false;
    const uint64_t value = (uint64_t(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    if (value < kUnixEpochFileTime) return false;
    *ms = (value - kUnixEpochFileTime) / 10000u;
    return true;
}

uint64_t MonotonicMs() {
    const uint64_t frequency = CounterFrequency();
    LARGE_INTEGER count{};
    if (frequency == 0 || !QueryPerformanceCounter(&count)) return GetTickCount64();
    const uint64_t ticks = uint64_t(count.QuadPart);
    // Split so that the product cannot overflow for a fast counter.
    return ticks / frequency * 1000u + ticks % frequency * 1000u / frequency;
}

uint64_t CoarseMonotonicMs() {
    return GetTickCount64();
}

bool NapMicroseconds(uint32_t) {
    // Sleep counts whole milliseconds and ends at a timer tick, 15.6 ms
    // apart by default: a nap of a few hundred microseconds would last a
    // whole tick, several times per frame.
    return false;
}

}  // namespace talvik

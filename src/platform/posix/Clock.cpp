#include <time.h>

#include "platform/Clock.h"

namespace talvik {

namespace {

uint64_t ToMs(const timespec& ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

bool SystemClockMs(uint64_t* ms) {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return false;
    *ms = ToMs(ts);
    return true;
}

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ToMs(ts);
}

uint64_t CoarseMonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ToMs(ts);
}

bool NapMicroseconds(uint32_t microseconds) {
    const timespec nap{time_t(microseconds / 1000000u), long(microseconds % 1000000u) * 1000L};
    nanosleep(&nap, nullptr);
    return true;
}

}  // namespace talvik

// The system's clocks and a short sleep.
#pragma once

#include <cstdint>

namespace talvik {

// UTC now, in milliseconds since 1970-01-01; false when the clock cannot be
// read or lies before 1970.
bool SystemClockMs(uint64_t* ms);
// Monotonic milliseconds, precise (for intervals, not dates).
uint64_t MonotonicMs();
// Monotonic milliseconds at the scheduler's tick resolution: cheap enough to
// read for every packet.
uint64_t CoarseMonotonicMs();
// Gives up the processor for about that long (a nap of a receive loop).
void SleepMicroseconds(uint32_t microseconds);

}  // namespace talvik

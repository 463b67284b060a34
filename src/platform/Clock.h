// The system's clocks.
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

}  // namespace talvik

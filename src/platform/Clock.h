// The system's clocks and a brief nap.
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
// A nap of a receive loop between the packets of one burst: gives up the
// processor for about that long and returns true, or returns false at once
// where the system cannot nap that briefly. Windows sleeps to its next timer
// tick, 15.6 ms by default, whatever is asked below that: its callers wait
// on their sockets instead.
bool NapMicroseconds(uint32_t microseconds);

}  // namespace talvik

// The plan FailThreadStarts sets up, kept the same way by every platform's
// thread start.
#pragma once

#include <atomic>
#include <cstdint>

namespace talvik {
namespace threadplan {

inline std::atomic<uint32_t> g_startsToSkip{0};
inline std::atomic<uint32_t> g_startsToFail{0};

inline void Plan(uint32_t skip, uint32_t count) {
    g_startsToFail.store(0);
    g_startsToSkip.store(skip);
    g_startsToFail.store(count);
}

// Consumes one start of the plan; true when it is to fail.
inline bool PlannedToFail() {
    if (g_startsToFail.load() == 0) return false;
    uint32_t skip = g_startsToSkip.load();
    while (skip > 0) {
        if (g_startsToSkip.compare_exchange_weak(skip, skip - 1)) return false;
    }
    uint32_t fail = g_startsToFail.load();
    while (fail > 0) {
        if (g_startsToFail.compare_exchange_weak(fail, fail - 1)) return true;
    }
    return false;
}

}  // namespace threadplan
}  // namespace talvik

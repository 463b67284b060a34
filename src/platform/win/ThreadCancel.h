// Windows has no cancellation that unwinds a thread's stack: there is nothing
// for a handler to let through.
#pragma once

namespace talvik {

template <typename BeforeRethrow>
void RethrowThreadCancellation(BeforeRethrow) {}

inline void RethrowThreadCancellation() {}

}  // namespace talvik

// Forced end of a thread on Windows: TerminateThread ends it where it stands,
// without unwinding, so no handler ever sees it.
#pragma once

namespace talvik {

template <typename BeforeRethrow>
void RethrowThreadCancellation(BeforeRethrow) {}

inline void RethrowThreadCancellation() {}

}  // namespace talvik

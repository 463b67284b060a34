// Cancellation on POSIX. The module never cancels a thread of its own, but a
// host may cancel one of its threads while it is inside the module:
// pthread_cancel unwinds the thread's stack with an exception that catch-all
// handlers see too. A handler that ends without rethrowing it - a nested one
// included - makes glibc abort the whole process ("exception not rethrown"),
// so every catch (...) starts with RethrowThreadCancellation().
#pragma once

#include <cxxabi.h>

namespace talvik {

// Inside a handler: rethrows when the exception being handled is the
// unwinding of a cancelled thread, after beforeRethrow(). The runtime's
// object behind that exception is no real object, hence no null check on
// the reference; not inlined, so that a sanitized caller does not check it
// either.
template <typename BeforeRethrow>
__attribute__((noinline, no_sanitize("null"))) void RethrowThreadCancellation(
    BeforeRethrow beforeRethrow) {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        beforeRethrow();
        throw;
    } catch (...) {
    }
}

inline void RethrowThreadCancellation() {
    RethrowThreadCancellation([] {});
}

}  // namespace talvik

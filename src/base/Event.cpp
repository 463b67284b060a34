#include "base/Event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

namespace talvik {

namespace detail {
// One per WaitAny call, on its stack. An event that is set wakes every
// registered waiter; the waiters then race to consume it under the event's
// own mutex, so an auto-reset signal is taken exactly once and never lost.
// It sleeps on a futex rather than a condition variable: a woken condition
// variable waiter takes its mutex again, and glibc marks that mutex contended,
// which costs one more system call on every wake-up of a stream's threads.
struct EventWaiter {
    enum : int { kIdle, kWoken, kSleeping };
    std::atomic<int> state{kIdle};

    // The caller holds the mutex of an event this waiter is registered with,
    // so the waiter cannot have left (and its stack gone) before this returns.
    void Wake() {
        if (state.exchange(kWoken, std::memory_order_acq_rel) == kSleeping) {
            syscall(SYS_futex, &state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        }
    }

    // False when the absolute monotonic deadline (null: none) passed first.
    bool Sleep(const timespec* deadline) {
        for (;;) {
            int expected = kIdle;
            if (!state.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel)) {
                state.store(kIdle, std::memory_order_relaxed);  // was woken
                return true;
            }
            const long rc = syscall(SYS_futex, &state, FUTEX_WAIT_BITSET_PRIVATE, int(kSleeping),
                                    deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
            const bool timedOut = rc != 0 && errno == ETIMEDOUT;
            expected = kSleeping;
            if (state.compare_exchange_strong(expected, kIdle, std::memory_order_acq_rel)) {
                if (timedOut) return false;
                continue;  // interrupted or spurious: sleep again
            }
            state.store(kIdle, std::memory_order_relaxed);
            return true;
        }
    }
};
}  // namespace detail

namespace {

// The thread that woke us usually still holds the event's mutex for a moment
// after the wake-up: spin briefly rather than block, since a blocked lock
// costs a system call on both sides.
void LockSoon(std::mutex& mutex) {
    for (int i = 0; i < 200; ++i) {
        if (mutex.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    mutex.lock();
}

}  // namespace

CEvent::CEvent(bool manualReset, bool, const char*) : manualReset_(manualReset) {}

CEvent::~CEvent() = default;

bool CEvent::Set() {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = true;
    for (detail::EventWaiter* waiter : waiters_)
        waiter->Wake();
    return true;
}

bool CEvent::Reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = false;
    return true;
}

bool CEvent::Wait(uint32_t timeoutMs) {
    CEvent* self = this;
    return WaitAny(&self, 1, timeoutMs) == 0;
}

bool CEvent::TryConsume() {
    if (!signalled_) return false;
    if (!manualReset_) signalled_ = false;
    return true;
}

void CEvent::AddWaiter(detail::EventWaiter* waiter) {
    waiters_.push_back(waiter);
}

void CEvent::RemoveWaiter(detail::EventWaiter* waiter) {
    auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
    if (it != waiters_.end()) waiters_.erase(it);
}

int WaitAny(CEvent* const* events, uint32_t count, uint32_t timeoutMs) {
    if (events == nullptr || count == 0) return -1;
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr) return -1;
    }

    // A poll never sleeps: even a wait on a deadline already past enters the
    // kernel, on every pass of a stream loop that polls its events.
    if (timeoutMs == 0) {
        for (uint32_t i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(events[i]->mutex_);
            if (events[i]->TryConsume()) return static_cast<int>(i);
        }
        return -1;
    }

    const bool infinite = timeoutMs == kInfinite;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += time_t(timeoutMs / 1000);
    deadline.tv_nsec += long(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }

    detail::EventWaiter waiter;
    for (;;) {
        // Check in order, registering as we go: a Set after our check of an
        // event finds us registered and wakes us.
        int found = -1;
        uint32_t registered = 0;
        for (uint32_t i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(events[i]->mutex_);
            if (events[i]->TryConsume()) {
                found = static_cast<int>(i);
                break;
            }
            events[i]->AddWaiter(&waiter);
            registered = i + 1;
        }

        if (found >= 0) {
            for (uint32_t i = 0; i < registered; ++i) {
                std::lock_guard<std::mutex> guard(events[i]->mutex_);
                events[i]->RemoveWaiter(&waiter);
            }
            return found;
        }

        const bool timedOut = !waiter.Sleep(infinite ? nullptr : &deadline);
        // Leave every event and take the first one signalled in the same
        // pass; a signal that raced the time-out still counts, as it would
        // have had the wait checked once more before giving up.
        for (uint32_t i = 0; i < count; ++i) {
            LockSoon(events[i]->mutex_);
            std::lock_guard<std::mutex> guard(events[i]->mutex_, std::adopt_lock);
            events[i]->RemoveWaiter(&waiter);
            if (found < 0 && events[i]->TryConsume()) found = static_cast<int>(i);
        }
        if (found >= 0 || timedOut) return found;
    }
}

}  // namespace talvik

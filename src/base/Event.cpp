#include "base/Event.h"

#include <algorithm>
#include <chrono>

namespace talvik {

namespace detail {
// One per WaitAny call, on its stack. An event that is set wakes every
// registered waiter; the waiters then race to consume it under the event's
// own mutex, so an auto-reset signal is taken exactly once and never lost.
struct EventWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};
}  // namespace detail

CEvent::CEvent(bool manualReset, bool, const char*) : manualReset_(manualReset) {}

CEvent::~CEvent() = default;

bool CEvent::Set() {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = true;
    for (detail::EventWaiter* waiter : waiters_) {
        {
            std::lock_guard<std::mutex> wguard(waiter->mutex);
            waiter->woken = true;
        }
        // Notified after its mutex is free, so the woken waiter does not block
        // on it at once (a second sleep and wake per signal). The waiter stays
        // registered, and so alive, until it takes mutex_, which is held here.
        waiter->cv.notify_one();
    }
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

    // A poll never sleeps: a condition-variable wait on a deadline already
    // past still enters the kernel and gives up the processor, which costs a
    // context switch on every pass of a stream loop that polls its events.
    if (timeoutMs == 0) {
        for (uint32_t i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(events[i]->mutex_);
            if (events[i]->TryConsume()) return static_cast<int>(i);
        }
        return -1;
    }

    using Clock = std::chrono::steady_clock;
    const bool infinite = timeoutMs == kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    detail::EventWaiter waiter;
    // Unregisters on every way out, the unwinding of a thread cancelled in
    // the wait included, so that no event keeps a pointer into a stack that
    // is gone.
    struct Registration {
        CEvent* const* events;
        detail::EventWaiter* waiter;
        uint32_t count = 0;
        ~Registration() { Leave(); }
        void Leave() {
            for (uint32_t i = 0; i < count; ++i) {
                std::lock_guard<std::mutex> guard(events[i]->mutex_);
                events[i]->RemoveWaiter(waiter);
            }
            count = 0;
        }
    } registration{events, &waiter};

    for (;;) {
        // Check in order, registering as we go: a Set after our check of an
        // event finds us registered and wakes us.
        int found = -1;
        for (uint32_t i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(events[i]->mutex_);
            if (events[i]->TryConsume()) {
                found = static_cast<int>(i);
                break;
            }
            events[i]->AddWaiter(&waiter);
            registration.count = i + 1;
        }

        bool timedOut = false;
        if (found < 0) {
            std::unique_lock<std::mutex> lock(waiter.mutex);
            if (infinite) {
                waiter.cv.wait(lock, [&] { return waiter.woken; });
            } else {
                timedOut = !waiter.cv.wait_until(lock, deadline, [&] { return waiter.woken; });
            }
            waiter.woken = false;
        }

        registration.Leave();

        if (found >= 0) return found;
        if (timedOut) {
            // A signal that raced the time-out still counts, as it would have
            // had the wait checked once more before giving up.
            for (uint32_t i = 0; i < count; ++i) {
                std::lock_guard<std::mutex> guard(events[i]->mutex_);
                if (events[i]->TryConsume()) return static_cast<int>(i);
            }
            return -1;
        }
    }
}

}  // namespace talvik

#include "platform/Event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

namespace talvik {

namespace {

// One per WaitAny call, on its stack. An event that is set wakes every
// registered waiter; the waiters then race to consume it under the event's
// own mutex, so an auto-reset signal is taken exactly once and never lost.
struct EventWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};

struct EventState {
    explicit EventState(bool manual) : manualReset(manual) {}

    // With mutex held.
    bool TryConsume() {
        if (!signalled) return false;
        if (!manualReset) signalled = false;
        return true;
    }
    void AddWaiter(EventWaiter* waiter) { waiters.push_back(waiter); }
    void RemoveWaiter(EventWaiter* waiter) {
        auto it = std::find(waiters.begin(), waiters.end(), waiter);
        if (it != waiters.end()) waiters.erase(it);
    }

    const bool manualReset;
    std::mutex mutex;
    bool signalled = false;
    std::vector<EventWaiter*> waiters;
};

EventState* StateOf(void* handle) {
    return static_cast<EventState*>(handle);
}

}  // namespace

CEvent::CEvent(bool manualReset, bool, const char*)
    : handle_(new (std::nothrow) EventState(manualReset)) {}

CEvent::~CEvent() {
    delete StateOf(handle_);
    handle_ = nullptr;
}

bool CEvent::Set() {
    EventState* state = StateOf(handle_);
    if (state == nullptr) return false;
    std::lock_guard<std::mutex> guard(state->mutex);
    state->signalled = true;
    for (EventWaiter* waiter : state->waiters) {
        {
            std::lock_guard<std::mutex> wguard(waiter->mutex);
            waiter->woken = true;
        }
        // Notified after its mutex is free, so the woken waiter does not block
        // on it at once (a second sleep and wake per signal). The waiter stays
        // registered, and so alive, until it takes the event's mutex, which is held here.
        waiter->cv.notify_one();
    }
    return true;
}

bool CEvent::Reset() {
    EventState* state = StateOf(handle_);
    if (state == nullptr) return false;
    std::lock_guard<std::mutex> guard(state->mutex);
    state->signalled = false;
    return true;
}

bool CEvent::Wait(uint32_t timeoutMs) {
    CEvent* self = this;
    return WaitAny(&self, 1, timeoutMs) == 0;
}

int WaitAny(CEvent* const* events, uint32_t count, uint32_t timeoutMs) {
    if (events == nullptr || count == 0) return -1;
    // The states on the stack for the usual few events (a wait per packet
    // must not allocate).
    EventState* local[8];
    std::vector<EventState*> more;
    EventState** states = local;
    if (count > 8) {
        more.resize(count);
        states = more.data();
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || events[i]->handle_ == nullptr) return -1;
        states[i] = StateOf(events[i]->handle_);
    }

    // A poll never sleeps: a condition-variable wait on a deadline already
    // past still enters the kernel and gives up the processor, which costs a
    // context switch on every pass of a stream loop that polls its events.
    if (timeoutMs == 0) {
        for (uint32_t i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(states[i]->mutex);
            if (states[i]->TryConsume()) return static_cast<int>(i);
        }
        return -1;
    }

    using Clock = std::chrono::steady_clock;
    const bool infinite = timeoutMs == kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    EventWaiter waiter;
    // Unregisters on every way out, the unwinding of a thread cancelled in
    // the wait included, so that no event keeps a pointer into a stack that
    // is gone.
    struct Registration {
        EventState* const* states;
        EventWaiter* waiter;
        uint32_t count = 0;
        ~Registration() { Leave(); }
        void Leave() {
            for (uint32_t i = 0; i < count; ++i) {
                std::lock_guard<std::mutex> guard(states[i]->mutex);
                states[i]->RemoveWaiter(waiter);
            }
            count = 0;
        }
    } registration{states, &waiter};

    for (;;) {
        // Check in order, registering as we go: a Set after our check of an
        // event finds us registered and wakes us.
        int found = -1;
        for (uint32_t i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(states[i]->mutex);
            if (states[i]->TryConsume()) {
                found = static_cast<int>(i);
                break;
            }
            states[i]->AddWaiter(&waiter);
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
                std::lock_guard<std::mutex> guard(states[i]->mutex);
                if (states[i]->TryConsume()) return static_cast<int>(i);
            }
            return -1;
        }
    }
}

}  // namespace talvik

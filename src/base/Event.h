// Event objects with the semantics of Win32 events: manual-reset events stay
// signalled until reset; auto-reset events release exactly one waiter and
// reset themselves. WaitAny waits for the first of several.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace talvik {

namespace detail {
struct EventWaiter;
}

class CEvent {
public:
    // The name and initial-state arguments of the Win32 call have no effect:
    // events are always unnamed and created not signalled.
    explicit CEvent(bool manualReset = false, bool /*initialState*/ = false,
                    const char* /*name*/ = nullptr);
    virtual ~CEvent();

    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    bool Set();
    bool Reset();
    // True when the event was signalled within timeoutMs.
    bool Wait(uint32_t timeoutMs);

private:
    friend int WaitAny(CEvent* const* events, uint32_t count, uint32_t timeoutMs);
    bool TryConsume();  // with mutex_ held
    void AddWaiter(detail::EventWaiter* waiter);
    void RemoveWaiter(detail::EventWaiter* waiter);

    const bool manualReset_;
    std::mutex mutex_;
    bool signalled_ = false;
    std::vector<detail::EventWaiter*> waiters_;
};

class CManualEvent : public CEvent {
public:
    CManualEvent() : CEvent(true) {}
};

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Index of the event that ended the wait, or -1 on a null array, a count of
// 0, a null entry or a time-out. An auto-reset event is consumed by the wait
// that returns its index. kInfinite waits without limit.
int WaitAny(CEvent* const* events, uint32_t count, uint32_t timeoutMs);

}  // namespace talvik

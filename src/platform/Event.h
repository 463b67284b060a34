// Event objects with the semantics of Win32 events: manual-reset events stay
// signalled until reset; auto-reset events release exactly one waiter and
// reset themselves. WaitAny waits for the first of several.
#pragma once

#include <cstdint>

namespace talvik {

// Event objects of the platform: a Win32 event on Windows, a mutex and
// condition variable elsewhere (src/platform/*/Event.cpp).
class CEvent {
public:
    // The name and initial-state arguments of the Win32 call have no effect:
    // events are always unnamed and created not signalled.
    explicit CEvent(bool manualReset = false, bool /*initialState*/ = false,
                    const char* /*name*/ = nullptr);
    virtual ~CEvent();

    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // All three are false when the event could not be created.
    bool Set();
    bool Reset();
    // True when the event was signalled within timeoutMs.
    bool Wait(uint32_t timeoutMs);

private:
    friend int WaitAny(CEvent* const* events, uint32_t count, uint32_t timeoutMs);

    // The platform's event; null when creation failed.
    void* handle_;
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

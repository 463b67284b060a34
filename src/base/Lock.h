// Recursive lock guarding the fields of every shared object. Most critical
// sections are a few field reads or writes, so it spins briefly before it
// blocks on its wake event.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/Event.h"
#include "platform/OsThread.h"

namespace talvik {

class CLock {
public:
    CLock();
    virtual ~CLock();

    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    void Lock();
    bool TryLock();
    void Unlock();  // by the owner only

private:
    struct State {
        uint32_t spinCount;
        std::atomic<int32_t> lockCount;
        std::atomic<uint32_t> owner;
        uint32_t depth;  // touched by the owner only
    };

    void TakeOwnership(uint32_t self);

    CEvent wake_;  // auto-reset
    State* state_;
};

// Unlocks on every exit from its scope, including an exception.
class CLockGuard {
public:
    explicit CLockGuard(CLock& lock) : lock_(lock) { lock_.Lock(); }
    ~CLockGuard() { lock_.Unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CLock& lock_;
};

}  // namespace talvik

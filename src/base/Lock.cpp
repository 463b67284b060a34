#include "base/Lock.h"

namespace talvik {

namespace {

uint32_t SpinCountForMachine() {
    // Spinning only pays when another processor can release the lock meanwhile.
    static const uint32_t spins = ProcessorCount() > 1 ? 4000u : 0u;
    return spins;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

CLock::CLock() : wake_(false), state_(new State) {
    state_->spinCount = SpinCountForMachine();
    state_->lockCount.store(0);
    state_->owner.store(0);
    state_->depth = 0;
}

CLock::~CLock() {
    delete state_;
}

void CLock::TakeOwnership(uint32_t self) {
    state_->owner.store(self, std::memory_order_relaxed);
    state_->depth = 1;
}

bool CLock::TryLock() {
    const uint32_t self = CurrentThreadId();
    for (uint32_t i = 0; i <= state_->spinCount; ++i) {
        int32_t expected = 0;
        if (state_->lockCount.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            TakeOwnership(self);
            return true;
        }
        if (state_->owner.load(std::memory_order_relaxed) == self) {
            state_->lockCount.fetch_add(1, std::memory_order_relaxed);
            ++state_->depth;
            return true;
        }
        CpuRelax();
    }
    return false;
}

void CLock::Lock() {
    if (TryLock()) return;
    const uint32_t self = CurrentThreadId();
    if (state_->lockCount.fetch_add(1, std::memory_order_acquire) == 0) {
        TakeOwnership(self);
        return;
    }
    if (state_->owner.load(std::memory_order_relaxed) == self) {
        ++state_->depth;
        return;
    }
    // The releasing owner signals once per waiter it leaves behind; the
    // auto-reset event keeps that signal even if we are not waiting yet.
    wake_.Wait(kInfinite);
    TakeOwnership(self);
}

void CLock::Unlock() {
    if (--state_->depth > 0) {
        state_->lockCount.fetch_sub(1, std::memory_order_release);
        return;
    }
    state_->owner.store(0, std::memory_order_relaxed);
    if (state_->lockCount.fetch_sub(1, std::memory_order_release) - 1 > 0) wake_.Set();
}

}  // namespace talvik

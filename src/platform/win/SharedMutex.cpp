#include <windows.h>

#include "platform/SharedMutex.h"

namespace talvik {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "a slim lock is one pointer");

namespace {
PSRWLOCK Lock(void** state) {
    return reinterpret_cast<PSRWLOCK>(state);
}
}  // namespace

CSharedMutex::CSharedMutex() : state_(nullptr) {
    InitializeSRWLock(Lock(&state_));
}

// A slim lock holds no resource.
CSharedMutex::~CSharedMutex() = default;

void CSharedMutex::lock() {
    AcquireSRWLockExclusive(Lock(&state_));
}

void CSharedMutex::unlock() {
    ReleaseSRWLockExclusive(Lock(&state_));
}

void CSharedMutex::lock_shared() {
    AcquireSRWLockShared(Lock(&state_));
}

void CSharedMutex::unlock_shared() {
    ReleaseSRWLockShared(Lock(&state_));
}

}  // namespace talvik

#include "platform/SharedMutex.h"

#include <shared_mutex>

namespace talvik {

namespace {
std::shared_mutex* Lock(void* state) {
    return static_cast<std::shared_mutex*>(state);
}
}  // namespace

// glibc's lock needs no set-up on first use, nor anything freed but itself.
CSharedMutex::CSharedMutex() : state_(new std::shared_mutex) {}

CSharedMutex::~CSharedMutex() {
    delete Lock(state_);
}

void CSharedMutex::lock() {
    Lock(state_)->lock();
}

void CSharedMutex::unlock() {
    Lock(state_)->unlock();
}

void CSharedMutex::lock_shared() {
    Lock(state_)->lock_shared();
}

void CSharedMutex::unlock_shared() {
    Lock(state_)->unlock_shared();
}

}  // namespace talvik

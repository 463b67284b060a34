// A reader/writer lock that gives back everything it took when it goes.
// libstdc++'s std::shared_mutex over MinGW's winpthreads sets the lock up on
// its first use (memory and two semaphores) and never frees it, as its
// destructor leaves a statically initialised lock alone: every object that
// holds one leaks two handles. Meets the standard's Lockable and
// SharedLockable requirements (std::unique_lock, std::shared_lock).
#pragma once

namespace talvik {

class CSharedMutex {
public:
    CSharedMutex();
    ~CSharedMutex();
    CSharedMutex(const CSharedMutex&) = delete;
    CSharedMutex& operator=(const CSharedMutex&) = delete;

    void lock();
    void unlock();
    void lock_shared();
    void unlock_shared();

private:
    // Windows: a slim reader/writer lock (one pointer, no handle, nothing
    // to free); elsewhere a std::shared_mutex of its own.
    void* state_;
};

}  // namespace talvik

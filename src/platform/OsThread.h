// One operating-system thread: start, wait and forced end, and the calling
// thread's id. Everything above sees no system thread type; each platform
// implements this once.
#pragma once

#include <cstdint>

namespace talvik {

// Stack reserved for each thread the module starts, instead of the process's
// default (1 MiB in an MSVC-built host, 8 MiB on Linux): a 32-bit host with
// hundreds of streams has no address space to spare. The deepest use, host
// callbacks and name resolution included, stays well below it.
constexpr uint32_t kThreadStackReserve = 256 * 1024;

class COsThread {
public:
    using Routine = void (*)(void* arg);

    COsThread() = default;
    // A thread still held is detached, never left joinable.
    ~COsThread();

    COsThread(const COsThread&) = delete;
    COsThread& operator=(const COsThread&) = delete;

    // Runs routine(arg) on a new thread; atEnd(arg) runs on that thread when
    // it ends, by returning or by a forced end. A forced end that cannot
    // unwind the thread (Windows) runs atEnd on the ending thread instead,
    // once the thread is gone. False when no thread could be made (atEnd then
    // never runs).
    bool Start(Routine routine, Routine atEnd, void* arg);
    bool Started() const { return started_; }
    // Waits without limit, then releases the thread.
    void Join();
    // Releases the thread without waiting for it.
    void Detach();
    // Ends the thread where it stands and waits up to waitMs for it to be
    // gone; one that does not go is detached. Releases the thread.
    void Terminate(uint32_t waitMs);

private:
    uintptr_t handle_ = 0;
    bool started_ = false;
};

// Small, process-unique id of the calling thread (never 0).
uint32_t CurrentThreadId();
// Processors online; at least 1.
uint32_t ProcessorCount();

}  // namespace talvik

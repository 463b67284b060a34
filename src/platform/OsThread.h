// One operating-system thread: start, wait and release, and the calling
// thread's id. Everything above sees no system thread type; each platform
// implements this once. A thread is never ended by force: one that is
// released while it runs finishes by itself, and keeps the module's code
// loaded until it has.
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
    // A thread still held is released (Detach), never left joinable.
    ~COsThread();

    COsThread(const COsThread&) = delete;
    COsThread& operator=(const COsThread&) = delete;

    // Runs routine(arg) on a new thread; atEnd(arg) runs on that thread when
    // the routine has returned. False when no thread could be made (atEnd
    // then never runs).
    bool Start(Routine routine, Routine atEnd, void* arg);
    bool Started() const { return started_; }
    // Waits without limit, then releases the thread.
    void Join();
    // Releases the thread without waiting for it. One that has not ended
    // keeps the module loaded until it does (Windows: a module reference
    // that the thread gives back as it exits; POSIX: the module is pinned
    // for the life of the process), so that a host unloading the module
    // never pulls the code from under it.
    void Detach();

private:
    uintptr_t handle_ = 0;
    bool started_ = false;
};

// Address space a thread start leaves free, on top of its stack: below it
// the start fails. A 32-bit host whose address space runs out crashes in
// whatever allocation comes next (the runtime's own included); a stream that
// cannot start while room is left fails on its own and the host goes on.
// Windows only: elsewhere the address space is not the limit.
constexpr uint32_t kThreadStartHeadroom = 64 * 1024 * 1024;

// Tests: after the next `skip` thread starts, `count` more fail as they
// would where no thread can be made.
void FailThreadStarts(uint32_t skip, uint32_t count);

// Small, process-unique id of the calling thread (never 0).
uint32_t CurrentThreadId();
// Processors online; at least 1.
uint32_t ProcessorCount();
// How often a running thread was released and given a hold on the module,
// since the process started; lets a test see the hold taken.
uint32_t ModuleHoldCount();

}  // namespace talvik

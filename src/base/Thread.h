// Threads of the module. CThreadRunner is the one start / bounded stop /
// forced end used by every owner of a thread; CBaseThread is a thread object
// on top of it: a subclass supplies Run, which must return soon after the
// stop event is signalled. StopThread waits a bounded time and only then ends
// the thread by force; JoinThread waits for as long as it takes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Event.h"
#include "platform/OsThread.h"

namespace talvik {

class IDebugMessage;

class CThreadRunner {
public:
    CThreadRunner() = default;
    // A thread still held is detached.
    ~CThreadRunner() = default;

    CThreadRunner(const CThreadRunner&) = delete;
    CThreadRunner& operator=(const CThreadRunner&) = delete;

    // Runs body on a new thread; an exception it lets out ends only the body.
    // False while a thread is held (ended or not) or when none can be made.
    bool Start(std::function<void()> body);
    // A thread was started and not yet joined, detached or ended by force.
    bool HasThread() const { return thread_.Started(); }
    // True when the body has ended (returned, thrown or ended by force)
    // within timeoutMs.
    bool WaitFinished(uint32_t timeoutMs);
    // True on the thread itself while its body runs.
    bool CalledFromOwnThread() const;
    // Id of the last started thread; 0 until it runs.
    uint32_t ThreadId() const;
    // Waits up to timeoutMs for the body to end and releases the thread.
    // When it does not end, calls beforeForcedEnd (for the owner's warning)
    // and ends it by force. True when the body ended by itself.
    bool Stop(uint32_t timeoutMs, const std::function<void()>& beforeForcedEnd);
    // Waits without limit, then releases the thread.
    void Join() { thread_.Join(); }
    // Releases the thread without waiting (a thread cannot join itself).
    void Detach() { thread_.Detach(); }

private:
    struct State;  // shared with the running thread, which may outlive the owner
    static void Routine(void* arg);
    static void AtEnd(void* arg);

    std::shared_ptr<State> state_;
    COsThread thread_;
};

class CBaseThread {
public:
    explicit CBaseThread(IDebugMessage* logger);
    virtual ~CBaseThread();

    CBaseThread(const CBaseThread&) = delete;
    CBaseThread& operator=(const CBaseThread&) = delete;

    // False while a previous thread of this object still runs.
    virtual bool StartThread(const std::string& name);
    // Waits up to timeoutMs, then waits on without limit after a warning.
    virtual bool JoinThread(uint32_t timeoutMs);
    // Waits up to timeoutMs, then terminates the thread after a warning.
    // False (and nothing changed) when called from the thread itself.
    virtual bool StopThread(uint32_t timeoutMs);

    uint32_t ThreadId() const { return runner_.ThreadId(); }
    const std::string& ThreadName() const { return name_; }

protected:
    virtual void Run() = 0;

    CManualEvent& StopEvent() { return stopEvent_; }
    bool StopRequested(uint32_t timeoutMs = 0) { return stopEvent_.Wait(timeoutMs); }
    IDebugMessage* Logger() const { return logger_; }

private:
    std::string name_;
    IDebugMessage* logger_;
    CManualEvent stopEvent_;
    CThreadRunner runner_;
};

}  // namespace talvik

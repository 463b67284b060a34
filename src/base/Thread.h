// Threads of the module. CThreadRunner is the one start / bounded stop used
// by every owner of a thread; CBaseThread is a thread object on top of it: a
// subclass supplies Run, which must return soon after the stop event is
// signalled. No thread is ever ended by force - it may be inside the host or
// a system call that holds a lock: StopThread waits a bounded time, then
// leaves a thread that has not ended to finish by itself; JoinThread waits
// for as long as it takes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

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
    // A thread was started and not yet joined or released.
    bool HasThread() const { return thread_.Started(); }
    // A thread was released (by Stop or Detach) and has not ended yet.
    bool Lingers() const;
    // True when the body has ended (returned or thrown) within timeoutMs.
    bool WaitFinished(uint32_t timeoutMs);
    // True on the thread itself while its body runs.
    bool CalledFromOwnThread() const;
    // Id of the last started thread; 0 until it runs.
    uint32_t ThreadId() const;
    // Waits up to timeoutMs for the body to end and releases the thread.
    // When it does not end, calls whenLeft (for the owner's warning) and
    // releases it unfinished: it ends by itself, later. True when the body
    // ended in time.
    bool Stop(uint32_t timeoutMs, const std::function<void()>& whenLeft);
    // Waits without limit, then releases the thread.
    void Join() { thread_.Join(); }
    // Releases the thread without waiting (a thread cannot join itself).
    void Detach() { thread_.Detach(); }
    // Gives the last thread started a share of `object`, dropped when its
    // body has returned (at once when it already has): what a released
    // thread will return into stays alive until it is done with it.
    void KeepUntilEnd(std::shared_ptr<void> object);

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
    // Waits up to timeoutMs, then, after a warning, leaves the thread to end
    // by itself. False (and nothing changed) when called from the thread
    // itself.
    virtual bool StopThread(uint32_t timeoutMs);

    uint32_t ThreadId() const { return runner_.ThreadId(); }
    const std::string& ThreadName() const { return name_; }
    // A stop has left the thread running; it has not ended yet.
    bool ThreadLingers() const { return runner_.Lingers(); }
    // The lingering thread holds `object` until its body returns (see
    // CThreadRunner::KeepUntilEnd).
    void KeepUntilThreadEnds(std::shared_ptr<void> object) {
        runner_.KeepUntilEnd(std::move(object));
    }

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
    bool startFailureTold_ = false;  // owner's thread only
};

}  // namespace talvik

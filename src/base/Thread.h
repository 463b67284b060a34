// Thread base: a subclass supplies Run, which must return soon after the stop
// event is signalled. StopThread waits a bounded time and only then ends the
// thread by force; JoinThread waits for as long as it takes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/Event.h"

namespace talvik {

class IDebugMessage;

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

    uint32_t ThreadId() const { return threadId_.load(); }
    const std::string& ThreadName() const { return name_; }

protected:
    virtual void Run() = 0;

    CManualEvent& StopEvent() { return stopEvent_; }
    bool StopRequested(uint32_t timeoutMs = 0) { return stopEvent_.Wait(timeoutMs); }
    IDebugMessage* Logger() const { return logger_; }

private:
    static void* ThreadRoutine(void* arg);
    static void MarkFinished(void* arg);
    bool HasThread() const { return hasThread_; }
    bool CalledFromOwnThread() const;
    void ReleaseHandle();

    std::string name_;
    pthread_t thread_{};
    bool hasThread_ = false;
    std::atomic<uint32_t> threadId_{0};
    std::atomic<uint32_t> runningId_{0};  // cleared when the body ends (ids are reused)
    IDebugMessage* logger_;
    CManualEvent stopEvent_;
    CManualEvent finished_;  // set when the thread routine exits, even by cancellation
};

}  // namespace talvik

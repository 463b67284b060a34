#include "base/Thread.h"

#include <time.h>

#include "ThreadCancel.h"
#include "base/Debug.h"
#include "base/Lock.h"

namespace talvik {

namespace {
// How long a cancelled thread may take to reach a cancellation point before
// we give up on joining it (it is then detached so that it cannot leak a
// joinable handle).
constexpr int kCancelJoinSeconds = 5;
}  // namespace

CBaseThread::CBaseThread(IDebugMessage* logger) : logger_(logger) {}

CBaseThread::~CBaseThread() {
    StopThread(2000);
    name_.clear();
}

void CBaseThread::MarkFinished(void* arg) {
    static_cast<CBaseThread*>(arg)->finished_.Set();
}

void* CBaseThread::ThreadRoutine(void* arg) {
    if (arg == nullptr) return reinterpret_cast<void*>(1);
    CBaseThread* self = static_cast<CBaseThread*>(arg);
    self->threadId_.store(CurrentThreadId());
    self->runningId_.store(CurrentThreadId());
    pthread_cleanup_push(&CBaseThread::MarkFinished, self);
    try {
        self->Run();
    } catch (...) {
        RethrowThreadCancellation();
        // A body must not let an exception escape its thread.
    }
    pthread_cleanup_pop(1);
    return nullptr;
}

bool CBaseThread::CalledFromOwnThread() const {
    // Only the id is read here: the handle belongs to the controlling thread.
    const uint32_t id = runningId_.load();
    return id != 0 && id == CurrentThreadId();
}

void CBaseThread::ReleaseHandle() {
    hasThread_ = false;
    thread_ = pthread_t{};
}

bool CBaseThread::StartThread(const std::string& name) {
    if (HasThread()) {
        // Still running: refused, and a stop already asked of it stays asked.
        if (!finished_.Wait(0)) return false;
        pthread_join(thread_, nullptr);
        ReleaseHandle();
    }
    stopEvent_.Reset();
    name_ = name;
    finished_.Reset();
    threadId_.store(0);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &CBaseThread::ThreadRoutine, this) != 0) return false;
    thread_ = thread;
    hasThread_ = true;
    return true;
}

bool CBaseThread::StopThread(uint32_t timeoutMs) {
    stopEvent_.Set();
    if (CalledFromOwnThread()) return false;
    if (!HasThread()) return true;

    if (!finished_.Wait(timeoutMs)) {
        if (logger_ != nullptr) {
            logger_->DebugMessage(
                2,
                "%s: Thread (id=%u, name\"%s\") was not stopped during %lu milliseconds and will "
                "be terminated!",
                "talvik::CBaseThread::StopThread", threadId_.load(), name_.c_str(),
                static_cast<unsigned long>(timeoutMs));
        }
        pthread_cancel(thread_);
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += kCancelJoinSeconds;
        if (pthread_timedjoin_np(thread_, nullptr, &deadline) != 0) pthread_detach(thread_);
    } else {
        pthread_join(thread_, nullptr);
    }
    ReleaseHandle();
    return true;
}

bool CBaseThread::JoinThread(uint32_t timeoutMs) {
    stopEvent_.Set();
    if (CalledFromOwnThread()) return false;
    if (!HasThread()) return true;

    if (!finished_.Wait(timeoutMs)) {
        if (logger_ != nullptr) {
            logger_->DebugMessage(
                2, "%s: Thread (id=%u, name\"%s\") was not stopped during %lu milliseconds",
                "talvik::CBaseThread::JoinThread", threadId_.load(), name_.c_str(),
                static_cast<unsigned long>(timeoutMs));
        }
        finished_.Wait(kInfinite);
        if (logger_ != nullptr) {
            logger_->DebugMessage(3, "%s: Thread (id=%u, name\"%s\") was stopped correctly",
                                  "talvik::CBaseThread::JoinThread", threadId_.load(),
                                  name_.c_str());
        }
    }
    pthread_join(thread_, nullptr);
    ReleaseHandle();
    return true;
}

}  // namespace talvik

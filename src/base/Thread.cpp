#include "base/Thread.h"

#include <mutex>
#include <vector>

#include "ThreadCancel.h"
#include "base/Debug.h"

namespace talvik {

struct CThreadRunner::State {
    std::function<void()> body;
    CManualEvent finished;  // set when the body has ended and the thread let go of `kept`
    std::atomic<uint32_t> threadId{0};
    std::atomic<uint32_t> runningId{0};  // cleared when the body ends (ids are reused)
    std::mutex keptLock;
    bool ended = false;                       // under keptLock
    std::vector<std::shared_ptr<void>> kept;  // under keptLock
};

void CThreadRunner::Routine(void* arg) {
    State& state = **static_cast<std::shared_ptr<State>*>(arg);
    const uint32_t id = CurrentThreadId();
    state.threadId.store(id);
    state.runningId.store(id);
    try {
        state.body();
    } catch (...) {
        RethrowThreadCancellation();
        // A body must not let an exception escape its thread.
    }
}

void CThreadRunner::AtEnd(void* arg) {
    auto* holder = static_cast<std::shared_ptr<State>*>(arg);
    State& state = **holder;
    state.runningId.store(0);
    std::vector<std::shared_ptr<void>> kept;
    {
        std::lock_guard<std::mutex> guard(state.keptLock);
        state.ended = true;
        kept.swap(state.kept);
    }
    // May delete the owner, and this runner with it: the holder keeps the state.
    kept.clear();
    state.finished.Set();
    delete holder;
}

bool CThreadRunner::Start(std::function<void()> body) {
    if (thread_.Started()) return false;
    // A fresh state per thread: a thread left running by a stop keeps its
    // own and cannot signal a later one's end.
    auto state = std::make_shared<State>();
    state->body = std::move(body);
    auto* holder = new std::shared_ptr<State>(state);
    state_ = std::move(state);
    if (!thread_.Start(&CThreadRunner::Routine, &CThreadRunner::AtEnd, holder)) {
        delete holder;
        state_.reset();
        return false;
    }
    return true;
}

bool CThreadRunner::WaitFinished(uint32_t timeoutMs) {
    return !state_ || state_->finished.Wait(timeoutMs);
}

bool CThreadRunner::CalledFromOwnThread() const {
    if (!state_) return false;
    const uint32_t id = state_->runningId.load();
    return id != 0 && id == CurrentThreadId();
}

uint32_t CThreadRunner::ThreadId() const {
    return state_ ? state_->threadId.load() : 0;
}

bool CThreadRunner::Lingers() const {
    return state_ && !thread_.Started() && !state_->finished.Wait(0);
}

bool CThreadRunner::Stop(uint32_t timeoutMs, const std::function<void()>& whenLeft) {
    if (!thread_.Started()) return true;
    if (WaitFinished(timeoutMs)) {
        thread_.Join();
        return true;
    }
    if (whenLeft) whenLeft();
    // Never ended by force: it may be inside the host or a system call that
    // holds a lock. Released, it ends by itself and cleans up after itself.
    thread_.Detach();
    return false;
}

void CThreadRunner::KeepUntilEnd(std::shared_ptr<void> object) {
    if (!state_ || !object) return;
    std::lock_guard<std::mutex> guard(state_->keptLock);
    if (state_->ended) return;  // already ended: the share is not kept
    state_->kept.push_back(std::move(object));
}

CBaseThread::CBaseThread(IDebugMessage* logger) : logger_(logger) {}

CBaseThread::~CBaseThread() {
    StopThread(2000);
    name_.clear();
}

bool CBaseThread::StartThread(const std::string& name) {
    // A thread that a stop left running still runs this object's body.
    if (runner_.Lingers()) return false;
    if (runner_.HasThread()) {
        // Still running: refused, and a stop already asked of it stays asked.
        if (!runner_.WaitFinished(0)) return false;
        runner_.Join();
    }
    stopEvent_.Reset();
    name_ = name;
    if (runner_.Start([this] { Run(); })) {
        startFailureTold_ = false;
        return true;
    }
    // A process out of room fails start after start (a port search tries
    // pair after pair with the same objects): one line until this object's
    // thread starts again.
    if (logger_ != nullptr && !startFailureTold_) {
        startFailureTold_ = true;
        logger_->DebugMessage(kLevelError, "%s: Thread \"%s\" could not be started",
                              "talvik::CBaseThread::StartThread", name_.c_str());
    }
    return false;
}

bool CBaseThread::StopThread(uint32_t timeoutMs) {
    stopEvent_.Set();
    if (runner_.CalledFromOwnThread()) return false;
    runner_.Stop(timeoutMs, [&] {
        if (logger_ == nullptr) return;
        logger_->DebugMessage(
            2,
            "%s: Thread (id=%u, name\"%s\") was not stopped during %lu milliseconds and is "
            "left to end by itself",
            "talvik::CBaseThread::StopThread", runner_.ThreadId(), name_.c_str(),
            static_cast<unsigned long>(timeoutMs));
    });
    return true;
}

bool CBaseThread::JoinThread(uint32_t timeoutMs) {
    stopEvent_.Set();
    if (runner_.CalledFromOwnThread()) return false;
    if (!runner_.HasThread()) return true;

    if (!runner_.WaitFinished(timeoutMs)) {
        if (logger_ != nullptr) {
            logger_->DebugMessage(
                2, "%s: Thread (id=%u, name\"%s\") was not stopped during %lu milliseconds",
                "talvik::CBaseThread::JoinThread", runner_.ThreadId(), name_.c_str(),
                static_cast<unsigned long>(timeoutMs));
        }
        runner_.WaitFinished(kInfinite);
        if (logger_ != nullptr) {
            logger_->DebugMessage(3, "%s: Thread (id=%u, name\"%s\") was stopped correctly",
                                  "talvik::CBaseThread::JoinThread", runner_.ThreadId(),
                                  name_.c_str());
        }
    }
    runner_.Join();
    return true;
}

}  // namespace talvik

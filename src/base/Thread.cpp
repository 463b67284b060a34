#include "base/Thread.h"

#include "ThreadCancel.h"
#include "base/Debug.h"

namespace talvik {

namespace {
// How long a thread ended by force may take to go (a cancelled POSIX thread
// must reach a cancellation point) before it is detached instead of joined.
constexpr uint32_t kForcedEndWaitMs = 5000;
}  // namespace

struct CThreadRunner::State {
    std::function<void()> body;
    CManualEvent finished;  // set when the thread ends, even by force
    std::atomic<uint32_t> threadId{0};
    std::atomic<uint32_t> runningId{0};  // cleared when the body ends (ids are reused)
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
    (*holder)->runningId.store(0);
    (*holder)->finished.Set();
    delete holder;
}

bool CThreadRunner::Start(std::function<void()> body) {
    if (thread_.Started()) return false;
    // A fresh state per thread: a thread detached after a forced end keeps
    // its own and cannot signal a later one's end.
    auto state = std::make_shared<State>();
    state->body = std::move(body);
    auto* holder = new std::shared_ptr<State>(state);
    state_ = std::move(state);
    if (!thread_.Start(&CThreadRunner::Routine, &CThreadRunner::AtEnd, holder)) {
        delete holder;
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

bool CThreadRunner::Stop(uint32_t timeoutMs, const std::function<void()>& beforeForcedEnd) {
    if (!thread_.Started()) return true;
    if (WaitFinished(timeoutMs)) {
        thread_.Join();
        return true;
    }
    if (beforeForcedEnd) beforeForcedEnd();
    thread_.Terminate(kForcedEndWaitMs);
    return false;
}

CBaseThread::CBaseThread(IDebugMessage* logger) : logger_(logger) {}

CBaseThread::~CBaseThread() {
    StopThread(2000);
    name_.clear();
}

bool CBaseThread::StartThread(const std::string& name) {
    if (runner_.HasThread()) {
        // Still running: refused, and a stop already asked of it stays asked.
        if (!runner_.WaitFinished(0)) return false;
        runner_.Join();
    }
    stopEvent_.Reset();
    name_ = name;
    return runner_.Start([this] { Run(); });
}

bool CBaseThread::StopThread(uint32_t timeoutMs) {
    stopEvent_.Set();
    if (runner_.CalledFromOwnThread()) return false;
    runner_.Stop(timeoutMs, [&] {
        if (logger_ == nullptr) return;
        logger_->DebugMessage(
            2,
            "%s: Thread (id=%u, name\"%s\") was not stopped during %lu milliseconds and will "
            "be terminated!",
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

#include <process.h>
#include <windows.h>

#include <atomic>

#include "platform/OsThread.h"

namespace talvik {

namespace {

// Shared by the owner and the thread; the last of the two to let go frees it.
// The seam's handle is a pointer to it.
struct StartBlock {
    COsThread::Routine routine;
    COsThread::Routine atEnd;
    void* arg;
    HANDLE thread = nullptr;
    // Whoever claims the end first runs atEnd: the thread after its routine,
    // or Terminate, which then runs it once the thread is gone.
    std::atomic<bool> endClaimed{false};
    std::atomic<int> references{2};
};

void Release(StartBlock* block) {
    if (block->references.fetch_sub(1) == 1) {
        if (block->thread != nullptr) CloseHandle(block->thread);
        delete block;
    }
}

unsigned __stdcall ThreadMain(void* arg) {
    StartBlock* block = static_cast<StartBlock*>(arg);
    block->routine(block->arg);
    // Lost to Terminate: the block and atEnd are its business now.
    if (block->endClaimed.exchange(true)) return 0;
    block->atEnd(block->arg);
    Release(block);
    return 0;
}

StartBlock* BlockOf(uintptr_t handle) {
    return reinterpret_cast<StartBlock*>(handle);
}

}  // namespace

COsThread::~COsThread() {
    if (started_) Detach();
}

bool COsThread::Start(Routine routine, Routine atEnd, void* arg) {
    if (started_ || routine == nullptr || atEnd == nullptr) return false;
    auto* block = new StartBlock{routine, atEnd, arg};
    unsigned id = 0;
    const uintptr_t thread = _beginthreadex(nullptr, kThreadStackReserve, &ThreadMain, block,
                                            STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (thread == 0) {
        delete block;
        return false;
    }
    block->thread = reinterpret_cast<HANDLE>(thread);
    handle_ = reinterpret_cast<uintptr_t>(block);
    started_ = true;
    return true;
}

void COsThread::Join() {
    if (!started_) return;
    StartBlock* block = BlockOf(handle_);
    WaitForSingleObject(block->thread, INFINITE);
    Release(block);
    handle_ = 0;
    started_ = false;
}

void COsThread::Detach() {
    if (!started_) return;
    Release(BlockOf(handle_));
    handle_ = 0;
    started_ = false;
}

void COsThread::Terminate(uint32_t waitMs) {
    if (!started_) return;
    StartBlock* block = BlockOf(handle_);
    handle_ = 0;
    started_ = false;
    if (block->endClaimed.exchange(true)) {
        // The routine has returned and its thread runs atEnd: not ended by
        // force, only waited for.
        WaitForSingleObject(block->thread, waitMs);
        Release(block);
        return;
    }
    // TerminateThread ends the thread where it stands, without unwinding, so
    // the thread never runs atEnd itself (nor drops its reference): atEnd
    // runs here, on the terminating thread, once the thread is gone. One that
    // does not go in time keeps its block and never sees atEnd.
    TerminateThread(block->thread, 0);
    if (WaitForSingleObject(block->thread, waitMs) == WAIT_OBJECT_0) {
        block->atEnd(block->arg);
        Release(block);
    }
    Release(block);
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(GetCurrentThreadId());
}

uint32_t ProcessorCount() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 1 ? uint32_t(info.dwNumberOfProcessors) : 1u;
}

}  // namespace talvik

#include <process.h>
#include <windows.h>

#include <atomic>

#include "platform/OsThread.h"
#include "platform/ThreadStartPlan.h"

namespace talvik {

namespace {

enum Phase : int { kRunning, kEnded, kReleased };

// Shared by the owner and the thread; the last of the two to let go frees it.
// The seam's handle is a pointer to it.
struct StartBlock {
    COsThread::Routine routine;
    COsThread::Routine atEnd;
    void* arg;
    HANDLE thread = nullptr;
    // Written by a release of the running thread before its exchange; read
    // by the thread only when its own exchange finds that release.
    HMODULE module = nullptr;
    // Settles "the thread has just ended" against "the thread is being
    // released": whichever exchange comes second knows who gives the module
    // reference back.
    std::atomic<int> phase{kRunning};
    std::atomic<int> references{2};
};

std::atomic<uint32_t> g_moduleHolds{0};

void Release(StartBlock* block) {
    if (block->references.fetch_sub(1) == 1) {
        if (block->thread != nullptr) CloseHandle(block->thread);
        delete block;
    }
}

unsigned __stdcall ThreadMain(void* arg) {
    StartBlock* block = static_cast<StartBlock*>(arg);
    block->routine(block->arg);
    block->atEnd(block->arg);
    if (block->phase.exchange(kEnded) != kReleased) {
        Release(block);
        return 0;
    }
    // Released while it ran: it holds a reference on the module, which it
    // gives back only once none of the module's code is left to run.
    const HMODULE module = block->module;
    Release(block);
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// The stack and the headroom fit in one free block: a reservation of that
// size, given back at once, is the cheapest test.
bool RoomForThread() {
    void* probe = VirtualAlloc(nullptr, SIZE_T(kThreadStackReserve) + kThreadStartHeadroom,
                               MEM_RESERVE, PAGE_NOACCESS);
    if (probe == nullptr) return false;
    VirtualFree(probe, 0, MEM_RELEASE);
    return true;
}

StartBlock* BlockOf(uintptr_t handle) {
    return reinterpret_cast<StartBlock*>(handle);
}

}  // namespace

COsThread::~COsThread() {
    if (started_) Detach();
}

bool COsThread::Start(Routine routine, Routine atEnd, void* arg) {
    if (started_ || routine == nullptr || atEnd == nullptr || threadplan::PlannedToFail())
        return false;
    if (!RoomForThread()) return false;
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
    StartBlock* block = BlockOf(handle_);
    handle_ = 0;
    started_ = false;
    if (block->phase.load() == kEnded) {
        Release(block);
        return;
    }
    // Taken before the stop returns, so that a FreeLibrary by the host right
    // after it cannot unload the code the thread still runs.
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&ThreadMain)),
                       &module);
    block->module = module;
    g_moduleHolds.fetch_add(1);
    // Ended meanwhile: the thread did not see the release and leaves the
    // reference alone.
    if (block->phase.exchange(kReleased) == kEnded && module != nullptr) FreeLibrary(module);
    Release(block);
}

void FailThreadStarts(uint32_t skip, uint32_t count) {
    threadplan::Plan(skip, count);
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(GetCurrentThreadId());
}

uint32_t ProcessorCount() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 1 ? uint32_t(info.dwNumberOfProcessors) : 1u;
}

uint32_t ModuleHoldCount() {
    return g_moduleHolds.load();
}

}  // namespace talvik

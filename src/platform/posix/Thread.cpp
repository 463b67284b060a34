#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "platform/OsThread.h"
#include "platform/ThreadStartPlan.h"

namespace talvik {

namespace {

// Shared by the owner and the thread; the last of the two to let go frees it.
// The seam's handle is a pointer to it.
struct StartBlock {
    COsThread::Routine routine;
    COsThread::Routine atEnd;
    void* arg;
    pthread_t thread{};
    std::atomic<bool> ended{false};
    std::atomic<int> references{2};
};

std::atomic<uint32_t> g_moduleHolds{0};

void Release(StartBlock* block) {
    if (block->references.fetch_sub(1) == 1) delete block;
}

void* ThreadMain(void* arg) {
    StartBlock* block = static_cast<StartBlock*>(arg);
    block->routine(block->arg);
    block->atEnd(block->arg);
    block->ended.store(true);
    Release(block);
    return nullptr;
}

// The module this code is in stays mapped for the rest of the process: a
// dlclose by the host no longer unloads it. In a program (no shared object)
// there is nothing to pin.
void PinModule() {
    g_moduleHolds.fetch_add(1);
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PinModule), &info) == 0 || info.dli_fname == nullptr)
        return;
    if (void* self = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(self);
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
    auto* block = new StartBlock{routine, atEnd, arg};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kThreadStackReserve);
    const int created = pthread_create(&block->thread, &attributes, &ThreadMain, block);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        delete block;
        return false;
    }
    handle_ = reinterpret_cast<uintptr_t>(block);
    started_ = true;
    return true;
}

void COsThread::Join() {
    if (!started_) return;
    StartBlock* block = BlockOf(handle_);
    pthread_join(block->thread, nullptr);
    Release(block);
    handle_ = 0;
    started_ = false;
}

void COsThread::Detach() {
    if (!started_) return;
    StartBlock* block = BlockOf(handle_);
    handle_ = 0;
    started_ = false;
    // Pinning is for good, so a thread that ends at this moment costs nothing.
    if (!block->ended.load()) PinModule();
    pthread_detach(block->thread);
    Release(block);
}

void FailThreadStarts(uint32_t skip, uint32_t count) {
    threadplan::Plan(skip, count);
}

uint32_t CurrentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

uint32_t ProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 1 ? uint32_t(count) : 1u;
}

uint32_t ModuleHoldCount() {
    return g_moduleHolds.load();
}

}  // namespace talvik

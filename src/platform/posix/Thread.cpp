#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/OsThread.h"

namespace talvik {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a thread handle fits the seam's storage");

struct StartBlock {
    COsThread::Routine routine;
    COsThread::Routine atEnd;
    void* arg;
};

void RunAtEnd(void* block) {
    const StartBlock* start = static_cast<StartBlock*>(block);
    start->atEnd(start->arg);
    delete start;
}

void* ThreadMain(void* block) {
    // The cleanup handler runs on return and on the unwinding of a cancelled
    // thread alike.
    pthread_cleanup_push(&RunAtEnd, block);
    const StartBlock* start = static_cast<StartBlock*>(block);
    start->routine(start->arg);
    pthread_cleanup_pop(1);
    return nullptr;
}

pthread_t ToPthread(uintptr_t handle) {
    pthread_t thread{};
    std::memcpy(&thread, &handle, sizeof thread);
    return thread;
}

}  // namespace

COsThread::~COsThread() {
    if (started_) Detach();
}

bool COsThread::Start(Routine routine, Routine atEnd, void* arg) {
    if (started_ || routine == nullptr || atEnd == nullptr) return false;
    auto* block = new StartBlock{routine, atEnd, arg};
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kThreadStackReserve);
    const int created = pthread_create(&thread, &attributes, &ThreadMain, block);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        delete block;
        return false;
    }
    handle_ = 0;
    std::memcpy(&handle_, &thread, sizeof thread);
    started_ = true;
    return true;
}

void COsThread::Join() {
    if (!started_) return;
    pthread_join(ToPthread(handle_), nullptr);
    handle_ = 0;
    started_ = false;
}

void COsThread::Detach() {
    if (!started_) return;
    pthread_detach(ToPthread(handle_));
    handle_ = 0;
    started_ = false;
}

void COsThread::Terminate(uint32_t waitMs) {
    if (!started_) return;
    const pthread_t thread = ToPthread(handle_);
    // Cancellation unwinds the thread at its next cancellation point; one
    // that does not reach one in time is detached instead of joined.
    pthread_cancel(thread);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += waitMs / 1000;
    deadline.tv_nsec += long(waitMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(thread, nullptr, &deadline) != 0) pthread_detach(thread);
    handle_ = 0;
    started_ = false;
}

uint32_t CurrentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

uint32_t ProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 1 ? uint32_t(count) : 1u;
}

}  // namespace talvik

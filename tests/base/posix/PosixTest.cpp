// POSIX only: a cancelled waiter, the host core version in a file name, and
// receive storage on huge pages.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <chrono>
#include <thread>

#include "HostCoreFile.h"
#include "base/Event.h"
#include "base/Text.h"
#include "platform/Storage.h"

namespace talvik {
namespace {

// A thread cancelled while it waits (a host may cancel its own thread inside
// the module) unwinds out of the wait and leaves no trace in the events it
// waited on: its stack is
// made inaccessible afterwards, so a Set that still reached it would crash.
TEST(WaitAny, CancelledWaiterUnwindsAndLeavesTheEvents) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers do not model thread cancellation";
#endif
    CEvent work, entered;
    CManualEvent stop;
    CEvent* events[] = {&work, &stop, &entered};  // the last one: "waiting now"
    constexpr size_t kStackSize = 1 << 20;
    void* stack =
        mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, stack);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack, kStackSize);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(
                     &thread, &attributes,
                     [](void* p) -> void* {
                         CEvent** events = static_cast<CEvent**>(p);
                         events[2]->Set();
                         WaitAny(events, 2, kInfinite);
                         return nullptr;
                     },
                     events));
    pthread_attr_destroy(&attributes);
    ASSERT_TRUE(entered.Wait(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it sleep
    ASSERT_EQ(0, pthread_cancel(thread));
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    ASSERT_EQ(0, pthread_timedjoin_np(thread, nullptr, &deadline));
    ASSERT_EQ(0, mprotect(stack, kStackSize, PROT_NONE));

    work.Set();
    stop.Set();
    EXPECT_TRUE(work.Wait(0));
    munmap(stack, kStackSize);
}

// The host core library's version as the loader names its file.
TEST(DebugLevels, CoreFileNames) {
    std::string versions;
    for (const char* path :
         {"/opt/host/libvantrel.so.6.3.0.0", "libvantrel.so.5.11.9.2", "libvantrel.so.6.3",
          "libvantrel.so.6.3.0.x", "libvantrel.so.70000.0.0.0", "libother.so.6.3.0.0"}) {
        uint16_t v[4] = {};
        versions += ParseHostCoreFileName(path, v)
                        ? FormatString("%d.%d.%d.%d ", v[0], v[1], v[2], v[3])
                        : std::string("- ");
    }
    EXPECT_EQ(versions, "6.3.0.0 5.11.9.2 - - - - ");
}

// Receive storage of 1 MiB or more comes as whole huge pages, aligned to
// them, every byte of it usable; smaller storage is exactly what was asked.
TEST(Storage, LargeStorageIsWholeAlignedHugePages) {
    constexpr size_t kMiB = 1u << 20;
    const struct {
        size_t wanted, size;
    } rows[] = {
        {1, 1},
        {kMiB - 1, kMiB - 1},
        {kMiB, 2 * kMiB},
        {2 * kMiB, 2 * kMiB},
        {2 * kMiB + 1, 4 * kMiB},
        {SIZE_MAX - 1, SIZE_MAX - 1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(StorageSize(row.wanted), row.size) << row.wanted;
        if (row.size > 4 * kMiB) continue;
        StoragePtr storage(AllocateStorage(row.size));
        ASSERT_NE(storage, nullptr) << row.size;
        storage[0] = 1;
        storage[row.size - 1] = 2;
        if (row.size >= 2 * kMiB) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(storage.get()) % (2 * kMiB), 0u) << row.size;
        }
    }
}

}  // namespace
}  // namespace talvik

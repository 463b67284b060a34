#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/Event.h"
#include "base/Lock.h"

using talvik::CEvent;
using talvik::CLock;
using talvik::CManualEvent;
using talvik::WaitAny;

namespace {

TEST(Event, ManualStaysSignalledAutoResetsItself) {
    CManualEvent manual;
    CEvent automatic(false);
    EXPECT_FALSE(manual.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    manual.Set();
    automatic.Set();
    automatic.Set();  // a second Set before a wait is the same single signal
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
}

TEST(WaitAny, ReturnsIndexOfSignalledOrMinusOne) {
    CEvent a, b, c;
    CEvent* events[] = {&a, &b, &c};
    b.Set();
    EXPECT_EQ(WaitAny(events, 3, 0), 1);
    EXPECT_EQ(WaitAny(events, 3, 0), -1) << "auto-reset event consumed by the first wait";
    EXPECT_EQ(WaitAny(events, 0, 1000), -1);
    EXPECT_EQ(WaitAny(nullptr, 3, 0), -1);
    CEvent* withNull[] = {&a, nullptr};
    a.Set();
    EXPECT_EQ(WaitAny(withNull, 2, 0), -1);
    // Lowest index wins when several are signalled.
    a.Set();
    c.Set();
    EXPECT_EQ(WaitAny(events, 3, 0), 0);
    EXPECT_EQ(WaitAny(events, 3, 0), 2);
}

TEST(WaitAny, WakesOnSetFromAnotherThreadAndTimesOut) {
    CEvent a;
    CManualEvent stop;
    CEvent* events[] = {&a, &stop};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitAny(events, 2, 50), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.Set();
    });
    EXPECT_EQ(WaitAny(events, 2, talvik::kInfinite), 1);
    setter.join();
}

// Ping-pong through an auto-reset event that two responders wait on, beside a
// noise event: every Set releases exactly one waiter, once, or the exchange
// hangs (lost) or the counts disagree (doubled).
TEST(WaitAny, EachSetReleasesOneWaiterOnceUnderStress) {
    constexpr int kRounds = 50000;
    CEvent ping, pong, noise;
    CManualEvent stop;
    std::atomic<int> received{0};
    auto responder = [&] {
        CEvent* events[] = {&noise, &ping, &stop};
        for (;;) {
            const int index = WaitAny(events, 3, 10000);
            if (index == 1) {
                received.fetch_add(1);
                pong.Set();
            } else if (index == 2 || index < 0) {
                return;
            }
        }
    };
    std::thread r1(responder), r2(responder);
    int acknowledged = 0;
    for (int i = 0; i < kRounds; ++i) {
        ping.Set();
        if (i % 7 == 0) noise.Set();
        if (!pong.Wait(10000)) break;
        ++acknowledged;
    }
    stop.Set();
    r1.join();
    r2.join();
    EXPECT_EQ(acknowledged, kRounds);
    EXPECT_EQ(received.load(), kRounds);
    EXPECT_FALSE(pong.Wait(0));
}

TEST(Lock, RecursiveAndHandsOverAfterLastUnlock) {
    CLock lock;
    lock.Lock();
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());
    std::atomic<bool> otherGotIt{false};
    std::atomic<bool> otherTried{false};
    std::thread other([&] {
        otherTried = true;
        lock.Lock();
        otherGotIt = true;
        lock.Unlock();
    });
    while (!otherTried)
        std::this_thread::yield();
    lock.Unlock();
    lock.Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(otherGotIt) << "one recursion level is still held";
    lock.Unlock();
    other.join();
    EXPECT_TRUE(otherGotIt);
    EXPECT_TRUE(lock.TryLock()) << "free again after the other thread's unlock";
    lock.Unlock();
}

// Many threads incrementing a plain counter under the lock: any hole in
// mutual exclusion shows as a lost increment (and as a race under TSan).
TEST(Lock, MutualExclusionUnderContention) {
    CLock lock;
    long counter = 0;
    constexpr int kThreads = 4, kIterations = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                talvik::CLockGuard outer(lock);
                talvik::CLockGuard inner(lock);
                ++counter;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kIterations);
}

}  // namespace

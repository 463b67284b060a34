#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/Event.h"
#include "base/Lock.h"
#include "support/Threads.h"

using talvik::CEvent;
using talvik::CLock;
using talvik::CManualEvent;
using talvik::WaitAny;

namespace {

TEST(Event, ManualStaysSignalledAutoResetsAndWaitAnyTakesTheLowestIndex) {
    CManualEvent manual;
    CEvent a, b, c;
    CEvent* events[] = {&a, &b, &c};
    CEvent* withNull[] = {&a, nullptr};
    manual.Set();
    b.Set();
    b.Set();  // a second Set before a wait is the same single signal
    EXPECT_EQ((std::vector<bool>{manual.Wait(0), manual.Wait(0), manual.Reset() && manual.Wait(0)}),
              (std::vector<bool>{true, true, false}));
    EXPECT_EQ(WaitAny(events, 3, 0), 1);
    EXPECT_EQ(WaitAny(events, 3, 10), -1);
    a.Set();
    c.Set();
    EXPECT_EQ(
        (std::vector<int>{WaitAny(nullptr, 3, 0), WaitAny(events, 0, 0), WaitAny(withNull, 2, 0),
                          WaitAny(events, 3, 0), WaitAny(events, 3, 0)}),
        (std::vector<int>{-1, -1, -1, 0, 2}));
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
        for (int index = 0; index != 2 && index >= 0;) {
            index = WaitAny(events, 3, 10000);
            if (index == 1) {
                received.fetch_add(1);
                pong.Set();
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

// Recursive: another thread gets it only after the last of three unlocks;
// four threads counting under its outer level (the inner one already
// released) lose no increment.
TEST(Lock, RecursiveAndMutuallyExclusive) {
    CLock lock;
    lock.Lock();
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());
    std::atomic<bool> otherGotIt{false};
    std::thread other([&] {
        lock.Lock();
        otherGotIt = true;
        lock.Unlock();
    });
    lock.Unlock();
    lock.Unlock();
    EXPECT_FALSE(talvik_test::WaitUntil([&] { return otherGotIt.load(); }, 100))
        << "one level is still held";
    lock.Unlock();
    other.join();
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                talvik::CLockGuard outer(lock);
                { talvik::CLockGuard inner(lock); }
                ++counter;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
}

}  // namespace

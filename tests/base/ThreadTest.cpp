// Events, the recursive lock and the base thread: signals are neither lost
// nor doubled, stops are honoured, a stubborn thread is left to finish with
// a warning and never ended by force.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "base/Event.h"
#include "base/Lock.h"
#include "base/Text.h"
#include "base/Thread.h"
#include "platform/OsThread.h"
#include "support/RecordingLogger.h"
#include "support/Threads.h"

namespace talvik {
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
                CLockGuard outer(lock);
                { CLockGuard inner(lock); }
                ++counter;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
}

// Runs until stopped; a stuck one first ignores the stop until `release`.
class TestThread : public CBaseThread {
public:
    explicit TestThread(IDebugMessage* logger) : CBaseThread(logger) {}
    ~TestThread() override { StopThread(2000); }

    // Runs, and runs that began with the stop event set.
    std::atomic<int> runs{0}, stoppedAtStart{0};
    std::atomic<bool> stuck{false}, finishedNormally{false}, selfStopResult{true};
    CEvent started;
    CManualEvent gate;     // the body waits for it before anything else
    CManualEvent release;  // what a stuck body waits for, deaf to the stop

    void SignalStop() { StopEvent().Set(); }

protected:
    void Run() override {
        runs.fetch_add(1);
        stoppedAtStart += StopRequested() ? 1 : 0;
        finishedNormally = false;
        started.Set();
        gate.Wait(kInfinite);
        if (stuck) release.Wait(kInfinite);
        StopEvent().Wait(kInfinite);
        selfStopResult = StopThread(10);
        finishedNormally = true;
    }
};

// Records, when the last share goes, whether the body had finished by then.
struct Probe {
    explicit Probe(std::atomic<bool>& done, std::atomic<int>& seen) : done_(done), seen_(seen) {}
    ~Probe() { seen_ = done_ ? 1 : 0; }
    std::atomic<bool>& done_;
    std::atomic<int>& seen_;
};

// One thread per object; a refused start keeps a stop already asked; the
// thread cannot stop itself; a new start resets the stop event. A body stuck
// past the limit is left to finish with one warning, never ended: its object
// refuses a new start until it has, and what it was handed lives until then;
// a join waits for the end.
TEST(BaseThread, StartStopRestartAndLeaveToFinish) {
    talvik_test::RecordingLogger log;
    TestThread thread(&log);
    EXPECT_TRUE(thread.StopThread(100)) << "never started: only signals";
    ASSERT_TRUE(thread.StartThread("worker"));
    ASSERT_TRUE(thread.started.Wait(5000));
    thread.SignalStop();
    EXPECT_FALSE(thread.StartThread("second"));
    EXPECT_EQ(thread.ThreadName(), "worker");
    thread.gate.Set();
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return thread.finishedNormally.load(); }))
        << "the stop signalled before the refused start was lost";
    EXPECT_FALSE(thread.selfStopResult.load());
    EXPECT_TRUE(thread.StopThread(5000));
    thread.gate.Reset();
    ASSERT_TRUE(thread.StartThread("again"));
    ASSERT_TRUE(thread.started.Wait(5000));
    thread.gate.Set();
    EXPECT_TRUE(thread.StopThread(5000));
    EXPECT_TRUE(thread.finishedNormally);
    EXPECT_EQ(thread.runs.load(), 2);
    EXPECT_EQ(thread.stoppedAtStart.load(), 0);
    EXPECT_TRUE(log.Lines().empty());

    thread.stuck = true;
    ASSERT_TRUE(thread.StartThread("stuck"));
    ASSERT_TRUE(thread.started.Wait(5000));
    const uint32_t id = thread.ThreadId();
    std::atomic<int> seen{-1};
    auto probe = std::make_shared<Probe>(thread.finishedNormally, seen);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread.StopThread(100));
    // Generous: the point is that the stop does not wait for the body.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_TRUE(thread.ThreadLingers());
    EXPECT_FALSE(thread.StartThread("while stuck")) << "its body still runs";
    thread.KeepUntilThreadEnds(probe);
    probe.reset();
    EXPECT_EQ(seen.load(), -1) << "the lingering thread holds a share";
    thread.release.Set();
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return seen.load() != -1; }));
    EXPECT_EQ(seen.load(), 1) << "dropped before the body had finished";
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return !thread.ThreadLingers(); }));
    thread.stuck = false;

    // Reusable afterwards; a join waits for the end.
    thread.gate.Reset();
    ASSERT_TRUE(thread.StartThread("slow"));
    ASSERT_TRUE(thread.started.Wait(5000));
    const uint32_t slowId = thread.ThreadId();
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        thread.gate.Set();
    });
    EXPECT_TRUE(thread.JoinThread(20));
    opener.join();
    EXPECT_TRUE(thread.finishedNormally);
    const auto Named = [](const char* name, uint32_t threadId) {
        return FormatString("Thread (id=%u, name\"%s\") was ", threadId, name);
    };
    const std::vector<talvik_test::LogLine> expected{
        {2, "talvik::CBaseThread::StopThread: " + Named("stuck", id) +
                "not stopped during 100 milliseconds and is left to end by itself"},
        {2, "talvik::CBaseThread::JoinThread: " + Named("slow", slowId) +
                "not stopped during 20 milliseconds"},
        {3, "talvik::CBaseThread::JoinThread: " + Named("slow", slowId) + "stopped correctly"}};
    EXPECT_EQ(log.Lines(), expected);
}

// A thread the system cannot make: the start fails and says so, once for
// each object until its thread starts again, however many of its starts
// fail; the object stays usable.
TEST(BaseThread, FailedStartToldOncePerObjectUntilItStartsAgain) {
    talvik_test::RecordingLogger log;
    TestThread first(&log), second(&log);
    FailThreadStarts(0, 3);
    EXPECT_FALSE(first.StartThread("one"));
    EXPECT_FALSE(second.StartThread("two"));
    EXPECT_FALSE(first.StartThread("three"));
    first.gate.Set();
    ASSERT_TRUE(first.StartThread("four"));
    ASSERT_TRUE(first.started.Wait(5000));
    FailThreadStarts(0, 1);
    EXPECT_FALSE(second.StartThread("five"));
    EXPECT_TRUE(first.StopThread(5000));
    EXPECT_EQ(first.runs.load(), 1);
    EXPECT_EQ(second.runs.load(), 0);
    FailThreadStarts(0, 2);
    EXPECT_FALSE(first.StartThread("six"));
    EXPECT_FALSE(first.StartThread("seven"));
    const std::vector<talvik_test::LogLine> expected{
        {1, "talvik::CBaseThread::StartThread: Thread \"one\" could not be started"},
        {1, "talvik::CBaseThread::StartThread: Thread \"two\" could not be started"},
        {1, "talvik::CBaseThread::StartThread: Thread \"six\" could not be started"}};
    EXPECT_EQ(log.Lines(), expected);
}

// Names ending in ".test" resolve to 10.0.0.N, N counting look-ups; those
// of "slow.test" hang until released.
std::atomic<int> g_lookups{0};
std::atomic<bool> g_slowReleased{false};
uint32_t HangingResolver(const std::string& host) {
    const int n = ++g_lookups;
    while (host == "slow.test" && !g_slowReleased)
        usleep(1000);
    const uint8_t address[4] = {10, 0, 0, uint8_t(n)};
    uint32_t out = 0;
    std::memcpy(&out, address, sizeof out);
    return host.size() > 5 && host.compare(host.size() - 5, 5, ".test") == 0 ? out : 0;
}

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t out = 0;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}

// A dotted address needs no look-up; a name's look-up that hangs is cut
// short by its time-out or at once by the caller's stop, which stays
// signalled; callers of a name still being looked up share the look-up;
// released, it ends by itself.
TEST(NameLookup, HangingLookupGivesWayToStopAndTimeOut) {
    const int threadsBefore = talvik_test::ThreadCount();
    SetHostResolver(&HangingResolver);
    EXPECT_EQ((std::vector<uint32_t>{
                  ResolveHostAddress("10.1.2.3"), ResolveHostAddress("fast.test"),
                  ResolveHostAddress("010.1.2.3"), ResolveHostAddress("1.2.3.4.test")}),
              (std::vector<uint32_t>{Address(10, 1, 2, 3), Address(10, 0, 0, 1), 0,
                                     Address(10, 0, 0, 3)}));
    EXPECT_EQ(ResolveHostAddress("slow.test", nullptr, 100), 0u);
    CEvent stop;  // auto-reset, as the hardest case
    std::thread stopper([&] {
        usleep(100000);
        stop.Set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ResolveHostAddress("slow.test", &stop, 60000), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    stopper.join();
    EXPECT_TRUE(stop.Wait(0)) << "the stop stays signalled";
    stop.Set();
    EXPECT_EQ(ResolveHostAddress("slow.test", &stop, 60000), 0u) << "stopped before it starts";
    EXPECT_EQ(g_lookups, 4) << "one look-up of slow.test, shared";
    g_slowReleased = true;
    // The released look-up, or a new one once it has ended.
    const uint32_t released = ResolveHostAddress("slow.test", nullptr, 60000);
    EXPECT_TRUE(released == Address(10, 0, 0, 4) || released == Address(10, 0, 0, 5)) << released;
    EXPECT_TRUE(
        talvik_test::WaitUntil([&] { return talvik_test::ThreadCount() <= threadsBefore; }, 20000))
        << "every look-up thread ends by itself";
    SetHostResolver(nullptr);
}

// The runner's ways of letting go of a thread. A body that ends in time is
// joined; one stuck past the stop limit, or released unfinished (the
// capability worker deleting its own query), is left to run: the stop
// returns on time, warns once, and the module is held for it; the body
// completes later, and a share it was handed lives until then.
TEST(ThreadRunner, LetGoOfAThreadWithoutEverEndingIt) {
    struct Case {
        const char* name;
        bool stuck;
        bool detach;  // released without a stop
        bool stopResult;
        int warnings;
        uint32_t holds;
    };
    const Case cases[] = {
        {"EndsInTime", false, false, true, 0, 0},
        {"StuckPastTheLimit", true, false, false, 1, 1},
        {"ReleasedWhileRunning", true, true, true, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CThreadRunner runner;
        CEvent started;
        CManualEvent release;
        std::atomic<bool> done{false};
        std::atomic<int> seen{-1};
        auto probe = std::make_shared<Probe>(done, seen);
        ASSERT_TRUE(runner.Start([&] {
            started.Set();
            if (c.stuck) release.Wait(kInfinite);
            done = true;
        }));
        ASSERT_TRUE(started.Wait(5000));
        const uint32_t holds = ModuleHoldCount();
        int warnings = 0;
        bool stopped = true;
        const auto before = std::chrono::steady_clock::now();
        if (c.detach) {
            runner.Detach();
        } else {
            stopped = runner.Stop(c.stuck ? 100 : 5000, [&] { ++warnings; });
        }
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
        EXPECT_EQ(stopped, c.stopResult);
        EXPECT_EQ(warnings, c.warnings);
        EXPECT_EQ(ModuleHoldCount() - holds, c.holds);
        EXPECT_EQ(runner.Lingers(), c.stuck);
        EXPECT_EQ(done.load(), !c.stuck) << "a stuck body was ended";
        runner.KeepUntilEnd(probe);
        probe.reset();
        release.Set();
        EXPECT_TRUE(talvik_test::WaitUntil([&] { return seen.load() != -1; }));
        EXPECT_EQ(seen.load(), 1);
        EXPECT_TRUE(runner.WaitFinished(10000));
        EXPECT_FALSE(runner.Lingers());
    }
}

}  // namespace
}  // namespace talvik

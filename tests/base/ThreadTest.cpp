#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "base/Text.h"
#include "base/Thread.h"
#include "support/RecordingLogger.h"
#include "support/Threads.h"

using talvik_test::LogLine;
using talvik_test::RecordingLogger;

namespace {

// Runs until stopped, or ignores the stop event for `stubbornMs`.
class TestThread : public talvik::CBaseThread {
public:
    explicit TestThread(talvik::IDebugMessage* logger) : CBaseThread(logger) {}
    ~TestThread() override { StopThread(2000); }

    std::atomic<int> runs{0};
    std::atomic<int> stubbornMs{0};
    std::atomic<bool> finishedNormally{false};
    std::atomic<bool> selfStopResult{true};
    std::atomic<int> stoppedAtStart{0};  // runs that began with the stop event set
    talvik::CEvent started;
    talvik::CManualEvent gate;  // the body waits for it before anything else

    void SignalStop() { StopEvent().Set(); }

protected:
    void Run() override {
        runs.fetch_add(1);
        stoppedAtStart += StopRequested() ? 1 : 0;
        finishedNormally = false;
        started.Set();
        gate.Wait(talvik::kInfinite);
        // Ignores the stop event; usleep is a cancellation point.
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(stubbornMs.load());
        while (std::chrono::steady_clock::now() < until)
            usleep(1000);
        StopEvent().Wait(talvik::kInfinite);
        selfStopResult = StopThread(10);
        finishedNormally = true;
    }
};

// One thread per object; a refused start keeps a stop already asked; the
// thread cannot stop itself; a new start resets the stop event.
TEST(BaseThread, StartStopAndRestart) {
    RecordingLogger log;
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
}

TEST(BaseThread, StopTerminatesStubbornBodyWithOneWarningJoinWaits) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // TSan does not model cancellation; ASan's stack check aborts when the
    // cancelled thread unwinds. The plain build runs it.
    GTEST_SKIP() << "the sanitizer does not support thread cancellation";
#endif
    RecordingLogger log;
    TestThread thread(&log);
    thread.gate.Set();
    thread.stubbornMs = 60000;
    ASSERT_TRUE(thread.StartThread("stubborn"));
    ASSERT_TRUE(thread.started.Wait(5000));
    const uint32_t id = thread.ThreadId();
    EXPECT_TRUE(thread.StopThread(100));
    EXPECT_FALSE(thread.finishedNormally);

    // Reusable afterwards; a join waits for the end and never terminates.
    thread.stubbornMs = 300;
    ASSERT_TRUE(thread.StartThread("slow"));
    ASSERT_TRUE(thread.started.Wait(5000));
    const uint32_t slowId = thread.ThreadId();
    EXPECT_TRUE(thread.JoinThread(20));
    EXPECT_TRUE(thread.finishedNormally);
    const auto Named = [](const char* name, uint32_t threadId) {
        return talvik::FormatString("Thread (id=%u, name\"%s\") was ", threadId, name);
    };
    const std::vector<LogLine> expected{
        {2, "talvik::CBaseThread::StopThread: " + Named("stubborn", id) +
                "not stopped during 100 milliseconds and will be terminated!"},
        {2, "talvik::CBaseThread::JoinThread: " + Named("slow", slowId) +
                "not stopped during 20 milliseconds"},
        {3, "talvik::CBaseThread::JoinThread: " + Named("slow", slowId) + "stopped correctly"}};
    EXPECT_EQ(log.Lines(), expected);
}

}  // namespace

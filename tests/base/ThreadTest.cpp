#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

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
    talvik::CEvent started;
    std::atomic<bool> selfStopResult{true};
    std::atomic<bool> trySelfStop{false};
    std::atomic<bool> gated{false};  // holds the body until gate is set
    talvik::CManualEvent gate;

    void SignalStop() { StopEvent().Set(); }

protected:
    void Run() override {
        runs.fetch_add(1);
        finishedNormally = false;
        started.Set();
        if (gated) gate.Wait(talvik::kInfinite);
        if (trySelfStop) selfStopResult = StopThread(10);
        if (stubbornMs > 0) {
            // Ignores the stop event; usleep is a cancellation point.
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(stubbornMs.load());
            while (std::chrono::steady_clock::now() < until)
                usleep(1000);
        } else {
            StopEvent().Wait(talvik::kInfinite);
        }
        finishedNormally = true;
    }
};

TEST(BaseThread, StartWhileRunningFailsAndRestartAfterEndWorks) {
    RecordingLogger log;
    TestThread thread(&log);
    EXPECT_TRUE(thread.StopThread(100)) << "never started: only signals";
    ASSERT_TRUE(thread.StartThread("worker"));
    ASSERT_TRUE(thread.started.Wait(5000));
    EXPECT_FALSE(thread.StartThread("second")) << "one thread per object";
    EXPECT_EQ(thread.ThreadName(), "worker");
    EXPECT_TRUE(thread.StopThread(5000));
    EXPECT_TRUE(thread.finishedNormally);
    ASSERT_TRUE(thread.StartThread("again")) << "stop event is reset by a new start";
    ASSERT_TRUE(thread.started.Wait(5000));
    EXPECT_TRUE(thread.StopThread(5000));
    EXPECT_EQ(thread.runs.load(), 2);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(BaseThread, RefusedStartKeepsAPendingStop) {
    RecordingLogger log;
    TestThread thread(&log);
    thread.gated = true;
    ASSERT_TRUE(thread.StartThread("worker"));
    ASSERT_TRUE(thread.started.Wait(5000));
    thread.SignalStop();
    EXPECT_FALSE(thread.StartThread("second"));
    thread.gate.Set();
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return thread.finishedNormally.load(); }))
        << "the stop signalled before the refused start was lost";
}

TEST(BaseThread, StopFromOwnThreadReturnsFalse) {
    RecordingLogger log;
    TestThread thread(&log);
    thread.trySelfStop = true;
    ASSERT_TRUE(thread.StartThread("self"));
    ASSERT_TRUE(thread.started.Wait(5000));
    EXPECT_TRUE(thread.StopThread(5000));
    EXPECT_FALSE(thread.selfStopResult.load());
}

TEST(BaseThread, StopTerminatesStubbornBodyWithOneWarning) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // TSan does not model cancellation; ASan's stack check aborts when the
    // cancelled thread unwinds. The plain build runs it.
    GTEST_SKIP() << "the sanitizer does not support thread cancellation";
#endif
    RecordingLogger log;
    TestThread thread(&log);
    thread.stubbornMs = 60000;
    ASSERT_TRUE(thread.StartThread("stubborn"));
    ASSERT_TRUE(thread.started.Wait(5000));
    const uint32_t id = thread.ThreadId();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread.StopThread(100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(thread.finishedNormally);
    const std::vector<LogLine> expected{
        {2, talvik::FormatString("%s: Thread (id=%u, name\"%s\") was not stopped during %lu "
                                 "milliseconds and will be terminated!",
                                 "talvik::CBaseThread::StopThread", id, "stubborn", 100ul)}};
    EXPECT_EQ(log.Lines(), expected);

    // Reusable afterwards.
    thread.stubbornMs = 0;
    ASSERT_TRUE(thread.StartThread("polite"));
    ASSERT_TRUE(thread.started.Wait(5000));
    EXPECT_TRUE(thread.StopThread(5000));
    EXPECT_TRUE(thread.finishedNormally);
    EXPECT_EQ(log.Lines().size(), 1u);
}

TEST(BaseThread, JoinWarnsWaitsThenReportsCorrectStop) {
    RecordingLogger log;
    TestThread thread(&log);
    thread.stubbornMs = 300;
    ASSERT_TRUE(thread.StartThread("slow"));
    ASSERT_TRUE(thread.started.Wait(5000));
    const uint32_t id = thread.ThreadId();
    EXPECT_TRUE(thread.JoinThread(20));
    EXPECT_TRUE(thread.finishedNormally) << "join never terminates";
    const std::vector<LogLine> expected{
        {2, talvik::FormatString(
                "%s: Thread (id=%u, name\"%s\") was not stopped during %lu milliseconds",
                "talvik::CBaseThread::JoinThread", id, "slow", 20ul)},
        {3, talvik::FormatString("%s: Thread (id=%u, name\"%s\") was stopped correctly",
                                 "talvik::CBaseThread::JoinThread", id, "slow")}};
    EXPECT_EQ(log.Lines(), expected);
}

}  // namespace

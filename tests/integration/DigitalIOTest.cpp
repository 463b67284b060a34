// Digital I/O end to end: the module's I/O object over its real HTTP sender
// against the camera simulator, and `talvik-host io` against it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "io/ArecontDigitalIO.h"
#include "io/IoFakes.h"
#include "support/CamSim.h"
#include "support/Threads.h"

using talvik::CArecontDigitalIO;
using talvik::test::CamSim;
using talvik::test::SplitLines;
using talvik_test::IoDriver;
using talvik_test::RecordingCallback;
using talvik_test::ThreadCount;
using talvik_test::WaitUntil;

namespace {

using Lines = std::vector<std::string>;

size_t CountRequests(const CamSim& sim, const std::string& line) {
    size_t n = 0;
    for (const std::string& request : sim.Requests())
        n += request == line;
    return n;
}

TEST(CamSimIO, StopCancelsHangingRequestsAndDropsTheQueue) {
    std::string error;
    std::unique_ptr<CamSim> sim = CamSim::Start({"--io", "numeric"}, &error);
    ASSERT_TRUE(sim) << error;
    IoDriver driver(1, 1);
    driver.device.port = sim->HttpPort();
    RecordingCallback callback;
    const int threadsBefore = ThreadCount();
    auto io = std::make_unique<CArecontDigitalIO>(&driver);
    io->SetInputPollPeriod(50);
    ASSERT_TRUE(io->SetCallback(&callback));
    ASSERT_TRUE(io->StartIO());
    // The inactive drive and the first poll went through.
    ASSERT_TRUE(
        WaitUntil([&] { return CountRequests(*sim, "GET /set?auxout=0 none") == 1; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return callback.Changes().size() == 1; }));
    // From now on every request waits half a minute.
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/&delay_ms=30000"), "ok\n");
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    // The set request is logged after the rule was in place; a poll logged
    // after it hangs as well.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const Lines requests = sim->Requests();
            bool setSeen = false;
            for (const std::string& request : requests) {
                if (request == "GET /set?auxout=1 none") setSeen = true;
                if (setSeen && request == "GET /get?auxin none") return true;
            }
            return false;
        },
        20000));
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_TRUE(io->ChangeOutputState(0, 1 + i % 2));
    EXPECT_TRUE(io->StopIO());
    // Only the write in flight reached the camera; the queue was dropped.
    EXPECT_EQ(CountRequests(*sim, "GET /set?auxout=1 none"), 1u);
    EXPECT_EQ(CountRequests(*sim, "GET /set?auxout=0 none"), 1u);  // the start's
    EXPECT_EQ(callback.failures.load(), 0);
    // A thread that had to be ended by force would have logged a warning.
    EXPECT_TRUE(driver.log.Lines().empty());
    io.reset();
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

// A camera that trickles its answers one byte a second: StartIO, on the
// host's thread, asks the input's form once and gives up at that request's
// deadline (the device time-out, 1500 ms here).
TEST(CamSimIO, StartReturnsAtTheDeadlineOfACameraThatNeverCompletesItsAnswer) {
    std::string error;
    std::unique_ptr<CamSim> sim = CamSim::Start({"--io", "numeric"}, &error);
    ASSERT_TRUE(sim) << error;
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/get&trickle_ms=1000"), "ok\n");
    IoDriver driver(1, 0);
    driver.device.port = sim->HttpPort();
    driver.device.timeoutMs = 1500;
    RecordingCallback callback;
    CArecontDigitalIO io(&driver);
    ASSERT_TRUE(io.SetCallback(&callback));
    std::atomic<bool> returned{false};
    std::thread hostThread([&] {
        io.StartIO();
        returned = true;
    });
    const bool inTime = WaitUntil([&] { return returned.load(); }, 15000);
    io.StopIO();  // cuts the request short when StartIO is still held
    hostThread.join();
    EXPECT_TRUE(inTime) << "StartIO still held the host's thread after ten deadlines";
}

// --- talvik-host io --------------------------------------------------------

std::string HostBinary() {
    return std::string(TALVIK_BINARY_DIR) + "/tools/host/talvik-host";
}

// The text after the "YYYY-MM-DD HH:MM:SS.mmm " time stamp.
std::string Event(const std::string& line) {
    return line.size() > 24 ? line.substr(24) : "";
}

TEST(HostIoCommand, PrintsChangesAndWritesOutputsInOrder) {
    std::string error;
    std::unique_ptr<CamSim> sim = CamSim::Start({"--io", "onoff"}, &error);
    ASSERT_TRUE(sim) << error;
    const std::string command = HostBinary() + " io --address 127.0.0.1 --port " +
                                std::to_string(sim->HttpPort()) +
                                " --set 0=active --set 0=active --set 0=inactive --set 5=active"
                                " --watch 3 2>/dev/null";
    int exitCode = -1;
    const Lines lines = SplitLines(talvik::test::RunCommand(command, 60000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    // Input lines come from the module's thread, so they may fall anywhere.
    Lines events;
    Lines inputs;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.compare(4, 1, "-"), 0) << line;  // time stamped
        const std::string event = Event(line);
        (event.compare(0, 6, "input ") == 0 ? inputs : events).push_back(event);
    }
    EXPECT_EQ(events, (Lines{"I/O started: 1 input(s), 1 output(s)", "output 0 active requested",
                             "output 0 active requested", "output 0 inactive requested",
                             "output 5 active requested", "I/O stopped"}));
    EXPECT_EQ(inputs, (Lines{"input 0 inactive"}));
    EXPECT_EQ(SplitLines(sim->Get("/sim/auxout")), (Lines{"off", "on", "off"}));
}

}  // namespace

// Digital I/O end to end: the module's I/O object over its real HTTP sender
// against the camera simulator, and `talvik-host io` against it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "io/ArecontDigitalIO.h"
#include "io/IoFakes.h"
#include "support/TestFiles.h"
#include "support/Threads.h"

using talvik::test::SplitLines;
using Lines = std::vector<std::string>;

namespace {

// A camera that trickles its answers one byte a second: StartIO, on the
// host's thread, asks the input's form once and gives up at that request's
// deadline (the device time-out, 1500 ms here).
TEST(CamSimIO, StartReturnsAtTheDeadlineOfACameraThatNeverCompletesItsAnswer) {
    auto sim = talvik::test::StartCamSim({"--io", "numeric"});
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/get&trickle_ms=1000"), "ok\n");
    talvik_test::IoDriver driver(1, 0);
    driver.device.port = sim->HttpPort();
    driver.device.timeoutMs = 1500;
    talvik_test::RecordingCallback callback;
    talvik::CArecontDigitalIO io(&driver);
    ASSERT_TRUE(io.SetCallback(&callback));
    std::atomic<bool> returned{false};
    std::thread hostThread([&] {
        io.StartIO();
        returned = true;
    });
    const bool inTime = talvik_test::WaitUntil([&] { return returned.load(); }, 15000);
    io.StopIO();  // cuts the request short when StartIO is still held
    hostThread.join();
    EXPECT_TRUE(inTime) << "StartIO still held the host's thread after ten deadlines";
}

// Input lines come from the module's thread, so they may fall anywhere
// between the others; every line starts with a "YYYY-MM-DD HH:MM:SS.mmm " stamp.
TEST(HostIoCommand, PrintsChangesAndWritesOutputsInOrder) {
    auto sim = talvik::test::StartCamSim({"--io", "onoff"});
    ASSERT_TRUE(sim);
    int exitCode = -1;
    const Lines lines = SplitLines(talvik::test::RunCommand(
        TALVIK_BINARY_DIR "/tools/host/talvik-host io --address 127.0.0.1 --port " +
            std::to_string(sim->HttpPort()) +
            " --set 0=active --set 0=active --set 0=inactive --set 5=active --watch 3 2>/dev/null",
        60000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    Lines events, inputs;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.compare(4, 1, "-"), 0) << line;
        const std::string event = line.size() > 24 ? line.substr(24) : "";
        (event.compare(0, 6, "input ") == 0 ? inputs : events).push_back(event);
    }
    EXPECT_EQ(events, (Lines{"I/O started: 1 input(s), 1 output(s)", "output 0 active requested",
                             "output 0 active requested", "output 0 inactive requested",
                             "output 5 active requested", "I/O stopped"}));
    EXPECT_EQ(inputs, (Lines{"input 0 inactive"}));
    EXPECT_EQ(SplitLines(sim->Get("/sim/auxout")), (Lines{"off", "on", "off"}));
}

}  // namespace

// End to end: the reference host's other commands against camsim (probe, io,
// record with several drivers, a slow host) and the I/O object with a camera that never
// completes its answer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "EndToEnd.h"
#include "io/ArecontDigitalIO.h"
#include "io/IoFakes.h"

namespace {

using namespace talvik_e2e;

// The capability query of the loaded module, as `probe` reports the host's store.
TEST(ProbeCommand, DigestCredentialsAndFailures) {
    auto sim = StartCamSim({"--auth", "digest", "--user", "admin", "--password", "secret",
                            "--model", "AV3130", "--sensor-size", "1280x1024"});
    ASSERT_TRUE(sim);
    const std::string port = std::to_string(sim->HttpPort());
    for (auto row : DataRows("integration/data/probe_command.txt")) {
        for (std::string& cell : row)
            for (size_t at; (at = cell.find("$PORT")) != std::string::npos;)
                cell.replace(at, 5, port);
        int exitCode = -1;
        const std::string out = "\n" + RunCommand(kHost + " probe " + row[0], 90000, &exitCode);
        EXPECT_EQ(exitCode, std::stoi(row[1])) << out;
        for (size_t i = 2; i < row.size(); ++i)
            EXPECT_NE(out.find("\n" + row[i]), std::string::npos) << row[i] << " in" << out;
    }
}

// Input lines come from the module's thread, so they may fall anywhere
// between the others; every line starts with a "YYYY-MM-DD HH:MM:SS.mmm " stamp.
TEST(HostIoCommand, PrintsChangesAndWritesOutputsInOrder) {
    auto sim = StartCamSim({"--io", "onoff"});
    ASSERT_TRUE(sim);
    int exitCode = -1;
    const Lines lines = SplitLines(RunCommand(
        kHost + " io --address 127.0.0.1 --port " + std::to_string(sim->HttpPort()) +
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

// A camera that trickles its answers one byte a second: StartIO, on the
// host's thread, asks the input's form once and gives up at that request's
// deadline (the device time-out, 1500 ms here).
TEST(CamSimIO, StartReturnsAtTheDeadlineOfACameraThatNeverCompletesItsAnswer) {
    auto sim = StartCamSim({"--io", "numeric"});
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
    const bool inTime = WaitUntil([&] { return returned.load(); }, 15000);
    io.StopIO();  // cuts the request short when StartIO is still held
    hostThread.join();
    EXPECT_TRUE(inTime) << "StartIO still held the host's thread after ten deadlines";
}

// `record --streams 3` runs three drivers for one camera in one process: each
// gets its own camera stream and count, and they take the addresses of the
// list in turn.
TEST(HostStreams, EachDriverHasItsOwnCameraStreamAndCount) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    const std::string port = std::to_string(sim->HttpPort());
    auto second = StartCamSim({"--bind", "127.0.0.2", "--http-port", port});
    ASSERT_TRUE(second);
    int code = -1;
    const std::string json = RunCommand(
        kHost + " record --address 127.0.0.1,127.0.0.2 --port " + port +
            " --codec jpeg --interval 40 --duration 3 --discard --json --streams 3 2>/dev/null",
        120000, &code);
    EXPECT_EQ(code, 0) << json;
    EXPECT_NE(json.find("{\"streams\":3,\"started\":3,"), std::string::npos) << json;
    // Every "frames":N of the summary, the total first, then one per stream.
    std::vector<long long> frames;
    for (size_t at = 0; (at = json.find("\"frames\":", at)) != std::string::npos; at += 9)
        frames.push_back(std::atoll(json.c_str() + at + 9));
    ASSERT_EQ(frames.size(), 4u) << json;
    EXPECT_EQ(frames[0], frames[1] + frames[2] + frames[3]);
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GT(frames[i], 0) << "stream " << i;
        EXPECT_NE(json.find("\"label\":\"rec_in0_jpeg_s" + std::to_string(i) + "\""),
                  std::string::npos);
    }
    // One MJPEG connection per driver: the first and third to the first
    // address, the second (counted above) to the other.
    EXPECT_GT(sim->StreamStat(1, "frames"), 0);
    EXPECT_GT(sim->StreamStat(2, "frames"), 0);
    EXPECT_EQ(sim->StreamStat(3, "frames"), -1);
}

class SlowHost : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SlowHost, StallSurvivedWithoutForcedEnd) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ExpectSlowHostSurvived(Installation(DefaultSettings(GetParam()[1])), *sim, GetParam()[0]);
}

INSTANTIATE_TEST_SUITE_P(Transports, SlowHost,
                         ::testing::ValuesIn(DataRows("integration/data/slow_host.txt")),
                         [](const auto& info) { return info.param[2]; });

}  // namespace

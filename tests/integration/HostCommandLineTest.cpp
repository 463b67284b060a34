// End to end: the reference host's command line. `record --streams N` runs N
// drivers for one camera in one process; each must get its own camera stream
// and its own count, and they take the addresses of an address list in turn.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/TestFiles.h"

namespace {

using talvik::test::CamSim;
using talvik::test::RunCommand;

const std::string kHost = TALVIK_BINARY_DIR "/tools/host/talvik-host";

TEST(HostStreams, EachDriverHasItsOwnCameraStreamAndCount) {
    std::string error;
    auto sim = CamSim::Start({}, &error);
    ASSERT_TRUE(sim) << error;
    const std::string port = std::to_string(sim->HttpPort());
    auto second = CamSim::Start({"--bind", "127.0.0.2", "--http-port", port}, &error);
    ASSERT_TRUE(second) << error;
    int code = -1;
    const std::string json = RunCommand(
        kHost + " record --address 127.0.0.1,127.0.0.2 --port " + port +
            " --codec jpeg --interval 40 --duration 3 --discard --json --streams 3 2>/dev/null",
        120000, &code);
    EXPECT_EQ(code, 0) << json;
    EXPECT_NE(json.find("{\"streams\":3,\"started\":3,"), std::string::npos) << json;
    // Every "frames":N of the summary, the total first, then one per stream.
    std::vector<long long> frames;
    const std::regex number("\"frames\":([0-9]+)");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), number);
         it != std::sregex_iterator(); ++it)
        frames.push_back(std::stoll((*it)[1]));
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

// Wrong flags give exit code 2 and a first line that names the problem.
TEST(HostUsage, ExitTwoNamingTheProblem) {
    for (const auto& row : talvik::test::DataRows("integration/data/host_usage.txt")) {
        int code = -1;
        const std::string err = RunCommand(kHost + " " + row[0] + " 2>&1 >/dev/null", 20000, &code);
        EXPECT_EQ(code, 2) << row[0];
        EXPECT_EQ(err.substr(0, err.find('\n')), row[1]);
    }
}

}  // namespace

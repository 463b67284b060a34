// End to end: camsim as a program (bad flags, stopping) and its HTTP side
// (bad requests get errors and the camera lives on).
#include <gtest/gtest.h>
#include <signal.h>

#include "support/CamSim.h"
#include "support/TestFiles.h"

namespace talvik {
namespace test {
namespace {

TEST(CamSimCommandLine, BadArgumentsGiveUsageAndExitCode2) {
    for (const auto& c : DataRows("camsim/data/bad_arguments.txt")) {
        int exitCode = 0;
        const std::string out =
            RunCommand("'" + CamSim::BinaryPath() + "' " + c[0] + " 2>&1", 30000, &exitCode);
        EXPECT_EQ(exitCode, 2) << c[0];
        EXPECT_EQ(out.substr(0, out.find('\n')), c[1]);
        EXPECT_NE(out.find("Usage: camsim"), std::string::npos) << c[0];
    }
}

TEST(CamSimCommandLine, StopsCleanlyOnSignalsAndAfterItsDuration) {
    for (int signal : {SIGINT, SIGTERM}) {
        auto sim = StartCamSim();
        ASSERT_TRUE(sim);
        EXPECT_EQ(sim->Get("/get?channelenable"), "channelenable=1\r\n");
        EXPECT_EQ(sim->Stop(signal, 20000), 0) << "signal " << signal;
    }
    auto sim = StartCamSim({"--duration", "0.5"});
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->Wait(20000), 0);
}

TEST(CamSimHttp, BadRequestsGetErrorsAndTheCameraLivesOn) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    auto rows = DataRows("camsim/data/bad_requests.txt");
    rows.push_back({std::string(5000, '/'), "414"});
    for (const auto& row : rows) {
        long status = 0;
        sim->Get(row[0], &status);
        EXPECT_EQ(status, std::stol(row[1])) << row[0].substr(0, 40);
    }
    EXPECT_EQ(sim->Get("/get?channelenable"), "channelenable=15\r\n");
}

}  // namespace
}  // namespace test
}  // namespace talvik

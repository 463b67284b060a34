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
    const std::pair<const char*, const char*> cases[] = {
        {"--bogus 1", "camsim: unknown flag --bogus"},
        {"--http-port 70000", "camsim: bad value '70000' for --http-port"},
        {"--sensor-size 1920", "camsim: bad value '1920' for --sensor-size"},
        {"--model", "camsim: missing value for --model"},
        {"stray", "camsim: unexpected argument 'stray'"}};
    for (const auto& c : cases) {
        int exitCode = 0;
        const std::string out =
            RunCommand("'" + CamSim::BinaryPath() + "' " + c.first + " 2>&1", 30000, &exitCode);
        EXPECT_EQ(exitCode, 2) << c.first;
        EXPECT_EQ(out.substr(0, out.find('\n')), c.second);
        EXPECT_NE(out.find("Usage: camsim"), std::string::npos) << c.first;
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
    const std::pair<std::string, long> cases[] = {
        {"/nothing", 404},
        {"/mjpeg5?res=full&fps=5", 404},
        {"/get", 400},
        {"/set?novalue", 400},
        {"/setreg?page=3&reg=21", 400},
        {"/image?x1=abc", 400},
        {"/mjpeg?fps=1000", 400},
        {"/image?x0=100&x1=50", 400},
        {"/h264f?x1=8&y1=8", 400},
        {"/sim/fault?prefix=get&status=500", 400},
        {"/sim/fault?prefix=/get&trickle_ms=0", 400},
        {"/sim/fault?prefix=/get&trickle_ms=100&status=500", 400},
        {std::string(5000, '/'), 414}};
    for (const auto& [path, expected] : cases) {
        long status = 0;
        sim->Get(path, &status);
        EXPECT_EQ(status, expected) << path.substr(0, 40);
    }
    long status = 0;
    EXPECT_EQ(sim->Get("/get?channelenable", &status), "channelenable=15\r\n");
}

}  // namespace
}  // namespace test
}  // namespace talvik

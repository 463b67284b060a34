// End to end: camsim's HTTP side answers bad requests with errors and lives on.
#include <gtest/gtest.h>

#include "support/CamSim.h"
#include "support/TestFiles.h"

namespace talvik {
namespace test {
namespace {

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
        {std::string(5000, '/'), 414},
    };
    for (const auto& c : cases) {
        long status = 0;
        sim->Get(c.first, &status);
        EXPECT_EQ(status, c.second) << c.first.substr(0, 40);
    }
    long status = 0;
    EXPECT_EQ(sim->Get("/get?channelenable", &status), "channelenable=15\r\n");
}

}  // namespace
}  // namespace test
}  // namespace talvik

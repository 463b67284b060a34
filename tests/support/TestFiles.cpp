#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace talvik::test {

std::unique_ptr<CamSim> StartCamSim(std::vector<std::string> args) {
    std::string error;
    auto sim = CamSim::Start(std::move(args), &error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

}  // namespace talvik::test

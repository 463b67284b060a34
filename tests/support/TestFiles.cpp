#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace talvik::test {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    int code = 0;
    if (!path_.empty()) RunCommand("rm -rf '" + path_ + "'", 20000, &code);
}

std::unique_ptr<CamSim> StartCamSim(std::vector<std::string> args) {
    std::string error;
    auto sim = CamSim::Start(std::move(args), &error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

}  // namespace talvik::test

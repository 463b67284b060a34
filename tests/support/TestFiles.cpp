#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace talvik::test {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    int code = 0;
    if (!path_.empty()) RunCommand("rm -rf '" + path_ + "'", 20000, &code);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::vector<std::string>> DataRows(const std::string& file) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : SplitLines(ReadFile(TALVIK_SOURCE_DIR "/tests/" + file))) {
        if (line[0] == '#') continue;
        rows.emplace_back();
        for (size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 3) {
            bar = line.find(" | ", at);
            rows.back().push_back(line.substr(at, bar - at));
        }
    }
    EXPECT_FALSE(rows.empty()) << "no rows in " << file;
    return rows;
}

std::unique_ptr<CamSim> StartCamSim(std::vector<std::string> args) {
    std::string error;
    auto sim = CamSim::Start(std::move(args), &error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

}  // namespace talvik::test

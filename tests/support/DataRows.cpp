// The file readers of support/TestFiles.h, on every platform.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/TestFiles.h"

namespace talvik::test {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::vector<std::string>> DataRows(const std::string& file,
                                               const std::string& separator) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(ReadFile(TALVIK_SOURCE_DIR "/tests/" + file));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        rows.emplace_back();
        for (size_t at = 0, bar = 0; bar != std::string::npos; at = bar + separator.size()) {
            bar = line.find(separator, at);
            rows.back().push_back(line.substr(at, bar - at));
        }
    }
    EXPECT_FALSE(rows.empty()) << "no rows in " << file;
    return rows;
}

}  // namespace talvik::test

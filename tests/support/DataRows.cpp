// The file helpers of support/TestFiles.h, on every platform.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/TestFiles.h"

namespace talvik::test {

TempDir::TempDir(const std::string& prefix) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const std::filesystem::path path = base / (prefix + "-" + std::to_string(random()));
        if (std::filesystem::create_directory(path, error)) path_ = path.string();
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

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

// The rows of a data file beside the driver tests.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace talvik_driver_test {

// The rows of data/<name>, fields split at '|'; '#' starts a comment line.
inline std::vector<std::vector<std::string>> Rows(const std::string& name) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/driver/data/" + name));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        rows.emplace_back();
        std::istringstream fields(line + "|");
        for (std::string field; std::getline(fields, field, '|');)
            rows.back().push_back(field);
    }
    return rows;
}

// A field as a number: decimal, or hexadecimal after 0x.
inline uint32_t U(const std::string& field) {
    return uint32_t(std::stoul(field, nullptr, 0));
}

}  // namespace talvik_driver_test

// Small file helpers shared by the end-to-end tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/CamSim.h"

namespace talvik::test {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "talvik-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The whole file, or an empty string when it cannot be read.
std::string ReadFile(const std::string& path);

// The rows of a table kept beside its test (path under tests/): one row a
// line, cells split at " | "; blank lines and lines starting with # skipped.
std::vector<std::vector<std::string>> DataRows(const std::string& file,
                                               const std::string& separator = " | ");

// camsim on free ports; a failure to start is reported as a test failure.
std::unique_ptr<CamSim> StartCamSim(std::vector<std::string> args = {});

}  // namespace talvik::test

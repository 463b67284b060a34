// The file helpers of support/TestFiles.h for the Windows test build, which
// has no camsim and no shell.
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

namespace talvik::test {

TempDir::TempDir(const std::string& prefix) {
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length > MAX_PATH) return;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string path = std::string(base) + prefix + "-" +
                                 std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(attempt);
        if (CreateDirectoryA(path.c_str(), nullptr)) {
            path_ = path;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::unique_ptr<CamSim> StartCamSim(std::vector<std::string>) {
    ADD_FAILURE() << "camsim does not run in the Windows test build";
    return nullptr;
}

}  // namespace talvik::test

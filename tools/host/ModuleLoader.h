// Loads the driver module (dlopen, LoadLibraryA: Platform.h) and resolves its
// exports by name.
#pragma once

#include <array>
#include <string>

#include "talvik/DriverExports.h"

namespace talvik_host {

// One interface version: its factory and the matching delete export.
struct DriverFactory {
    const char* createName;
    const char* deleteName;
    talvik::ipcapture::CreateIPCaptureFn create = nullptr;
    talvik::ipcapture::DeleteIPCaptureFn destroy = nullptr;
};

class DriverModule {
public:
    DriverModule() = default;
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    // False with a readable reason when the file cannot be loaded or an export
    // is missing.
    bool Load(const std::string& path, std::string* error);
    // Optional exports (capability query) by name; null when absent.
    void* Symbol(const char* name) const;

    // CreateIPCapture/DeleteIPCapture first, CreateIPCaptureEx5/DeleteIPCaptureEx5 last.
    const std::array<DriverFactory, 6>& Factories() const { return factories_; }
    const std::string& Path() const { return path_; }

private:
    void* handle_ = nullptr;
    std::string path_;
    std::array<DriverFactory, 6> factories_{{
        {"CreateIPCapture", "DeleteIPCapture"},
        {"CreateIPCaptureEx", "DeleteIPCaptureEx"},
        {"CreateIPCaptureEx2", "DeleteIPCaptureEx2"},
        {"CreateIPCaptureEx3", "DeleteIPCaptureEx3"},
        {"CreateIPCaptureEx4", "DeleteIPCaptureEx4"},
        {"CreateIPCaptureEx5", "DeleteIPCaptureEx5"},
    }};
};

// The module beside the running executable, else the installed one (in the
// library directory of the prefix the executable is installed in), else the
// one of the build tree this host was built with.
std::string DefaultModulePath();

}  // namespace talvik_host

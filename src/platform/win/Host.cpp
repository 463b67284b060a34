#include <windows.h>

#include <memory>
#include <new>

#include "platform/Host.h"

namespace talvik {

std::string GetHostDirectory() {
    // At most 511 characters: a path that fills the buffer may be cut short,
    // so it counts as unreadable.
    char path[512];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path - 1);
    if (length == 0 || length >= sizeof path - 1) return std::string();
    const std::string full(path, length);
    const size_t slash = full.rfind('\\');
    return slash == std::string::npos ? full : full.substr(0, slash + 1);
}

bool FindHostCoreVersion(uint16_t numbers[4]) {
    // By its bare name: the system's library search decides which file.
    static const char kCore[] = "vantrel.dll";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(kCore, &ignored);
    if (size == 0) return false;
    std::unique_ptr<char[]> data(new (std::nothrow) char[size]);
    if (!data || !GetFileVersionInfoA(kCore, 0, size, data.get())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueA(data.get(), "\\", reinterpret_cast<void**>(&info), &infoSize) ||
        info == nullptr || infoSize < sizeof *info) {
        return false;
    }
    numbers[0] = HIWORD(info->dwProductVersionMS);
    numbers[1] = LOWORD(info->dwProductVersionMS);
    numbers[2] = HIWORD(info->dwProductVersionLS);
    numbers[3] = LOWORD(info->dwProductVersionLS);
    return true;
}

}  // namespace talvik

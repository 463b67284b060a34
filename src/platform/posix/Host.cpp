#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "HostCoreFile.h"
#include "platform/Host.h"

namespace talvik {

namespace {

// The real file behind a path, so that a "libvantrel.so" link reveals the
// versioned name it points to.
std::string RealName(const char* path) {
    if (path == nullptr || *path == '\0') return std::string();
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) return path;
    std::string out(resolved);
    free(resolved);
    return out;
}

int FindLoadedCore(dl_phdr_info* info, size_t, void* data) {
    std::string* found = static_cast<std::string*>(data);
    if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "libvantrel.so") != nullptr) {
        *found = RealName(info->dlpi_name);
        return 1;
    }
    return 0;
}

}  // namespace

std::string GetHostDirectory() {
    // readlink does not terminate and silently truncates: grow until the
    // result fits with room to spare.
    std::vector<char> buffer(PATH_MAX);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0) return std::string();
        if (size_t(length) < buffer.size()) {
            std::string path(buffer.data(), size_t(length));
            const size_t slash = path.rfind('/');
            if (slash == std::string::npos) return std::string();
            return path.substr(0, slash + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::string();
}

bool FindHostCoreVersion(uint16_t numbers[4]) {
    std::string path;
    // A host that already links the core library has it in its process.
    dl_iterate_phdr(&FindLoadedCore, &path);
    if (path.empty()) {
        void* handle = dlopen("libvantrel.so", RTLD_LAZY | RTLD_LOCAL);
        if (handle != nullptr) {
            link_map* map = nullptr;
            if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
                path = RealName(map->l_name);
            }
            dlclose(handle);
        }
    }
    // The loader names the library by its version.
    return !path.empty() && ParseHostCoreFileName(path, numbers);
}

bool ParseHostCoreFileName(const std::string& path, uint16_t numbers[4]) {
    static const char kStem[] = "libvantrel.so.";
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.compare(0, sizeof(kStem) - 1, kStem) != 0) return false;
    uint32_t parts[4];
    size_t pos = sizeof(kStem) - 1;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? name.find('.', pos) : name.size();
        if (end == std::string::npos || end == pos || end - pos > 5) return false;
        uint32_t value = 0;
        for (size_t k = pos; k < end; ++k) {
            if (name[k] < '0' || name[k] > '9') return false;
            value = value * 10 + static_cast<uint32_t>(name[k] - '0');
        }
        if (value > 0xFFFF) return false;
        parts[i] = value;
        pos = end + 1;
    }
    for (int i = 0; i < 4; ++i)
        numbers[i] = static_cast<uint16_t>(parts[i]);
    return true;
}

}  // namespace talvik

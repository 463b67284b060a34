#include "base/HostDirectory.h"

#include <limits.h>
#include <unistd.h>

#include <vector>

namespace talvik {

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

}  // namespace talvik

// Windows stand-ins for what the Windows test programs link before the cross
// build has its own: the test file helpers (tests/support/TestFiles.cpp runs
// shell commands), and the host directory, name resolution and thread ids of
// the platform layer: delete those once the platform files are in.
#include <winsock2.h>  // includes windows.h in the order Winsock needs
#include <ws2tcpip.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/Host.h"
#include "platform/OsThread.h"
#include "platform/Sockets.h"
#include "support/TestFiles.h"

namespace talvik {

std::string GetHostDirectory() {
    char path[MAX_PATH];
    const DWORD size = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, size < MAX_PATH ? size : 0);
    return text.substr(0, text.rfind('\\') + 1);
}

uint32_t SystemResolveIPv4(const std::string& host) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return 0;
    const uint32_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return address;
}

uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

uint32_t ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

namespace test {

TempDir::TempDir(const std::string& prefix) {
    char base[MAX_PATH];
    const DWORD size = GetTempPathA(MAX_PATH, base);
    for (unsigned n = GetTickCount() & 0xffff; size > 0 && size < MAX_PATH; ++n) {
        const std::string path = std::string(base) + prefix + "-" + std::to_string(n);
        if (CreateDirectoryA(path.c_str(), nullptr)) {
            path_ = path;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return;
    }
}

// The tests write plain files only.
TempDir::~TempDir() {
    if (path_.empty()) return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileA((path_ + "\\" + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path_.c_str());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace test
}  // namespace talvik

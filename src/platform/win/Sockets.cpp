#include <winsock2.h>
#include <ws2tcpip.h>

#include <new>

#include "platform/Sockets.h"

namespace talvik {

uint32_t SystemResolveIPv4(const std::string& host) {
    // Held for the look-up itself, so that it works on any thread.
    const CNetworkUse network;
    if (!network.Started()) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return 0;
    uint32_t address = 0;
    for (addrinfo* it = result; it != nullptr; it = it->ai_next) {
        if (it->ai_family == AF_INET && it->ai_addr != nullptr) {
            address = reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(result);
    return address;
}

namespace {

struct LookupStart {
    void (*routine)(void*);
    void* arg;
    HMODULE module;  // the reference that keeps the module loaded while the thread runs
};

DWORD WINAPI LookupMain(void* start) {
    const LookupStart s = *static_cast<LookupStart*>(start);
    delete static_cast<LookupStart*>(start);
    s.routine(s.arg);
    if (s.module) FreeLibraryAndExitThread(s.module, 0);
    return 0;
}

// getaddrinfo needs little stack; the default reservation (the host's, often
// 1 MiB) would count against the 2 GiB of a 32-bit host for every look-up
// still waiting for a slow resolver.
constexpr SIZE_T kLookupStackBytes = 256 * 1024;

}  // namespace

bool StartLookupThread(void (*routine)(void* arg), void* arg) {
    auto* start = new (std::nothrow) LookupStart{routine, arg, nullptr};
    if (start == nullptr) return false;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&LookupMain)),
                       &start->module);
    HANDLE thread = CreateThread(nullptr, kLookupStackBytes, &LookupMain, start,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        if (start->module) FreeLibrary(start->module);
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

// Winsock counts its start-ups; the last cleanup releases it.
bool StartNetworkUse() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void EndNetworkUse() {
    WSACleanup();
}

}  // namespace talvik

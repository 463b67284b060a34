#include <winsock2.h>
#include <ws2tcpip.h>

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

// Winsock counts its start-ups; the last cleanup releases it.
bool StartNetworkUse() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void EndNetworkUse() {
    WSACleanup();
}

}  // namespace talvik

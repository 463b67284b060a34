#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "platform/Sockets.h"

namespace talvik {

uint32_t SystemResolveIPv4(const std::string& host) {
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

// BSD sockets need no start-up.
bool StartNetworkUse() {
    return true;
}

void EndNetworkUse() {}

}  // namespace talvik

// Network services of the operating system.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

// First IPv4 address of a host name or dotted address, in network byte
// order; 0 when it cannot be resolved.
uint32_t SystemResolveIPv4(const std::string& host);

// The system's socket library, taken for as long as a user needs sockets:
// Windows counts WSAStartup calls and frees Winsock at the last WSACleanup;
// elsewhere there is nothing to take. True when taken; each true result
// needs one EndNetworkUse.
bool StartNetworkUse();
void EndNetworkUse();

// StartNetworkUse for a scope.
class CNetworkUse {
public:
    CNetworkUse() : started_(StartNetworkUse()) {}
    ~CNetworkUse() {
        if (started_) EndNetworkUse();
    }
    CNetworkUse(const CNetworkUse&) = delete;
    CNetworkUse& operator=(const CNetworkUse&) = delete;
    bool Started() const { return started_; }

private:
    bool started_;
};

}  // namespace talvik

// Network services of the operating system.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

// First IPv4 address of a host name or dotted address, in network byte
// order; 0 when it cannot be resolved.
uint32_t SystemResolveIPv4(const std::string& host);

// Runs routine(arg) on a thread of its own that nobody waits for: it keeps
// the module loaded until it returns, so that it may outlive its starter and
// even the host's unloading of the module. For name look-ups, which no stop
// can interrupt. False when no thread could be started (routine never runs).
bool StartLookupThread(void (*routine)(void* arg), void* arg);

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

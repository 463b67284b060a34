// Network services of the operating system.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

// First IPv4 address of a host name or dotted address, in network byte
// order; 0 when it cannot be resolved.
uint32_t SystemResolveIPv4(const std::string& host);

}  // namespace talvik

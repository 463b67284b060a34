// Records the driver hands to every sender and channel: the device description
// and one stream's parameters. Both are copied by value.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

struct DEVICE_INFO {
    virtual ~DEVICE_INFO() = default;

    uint32_t timeoutMs = 5000;       // general device time-out
    uint32_t dataTimeoutMs = 15000;  // streaming channels; the Arecont driver sets 10000
    std::string address;             // host name or IP address
    uint16_t port = 80;              // HTTP port; 443 selects HTTPS
    std::string userName;            // empty: no credentials
    std::string password;
    std::string model;
};

// CodecType values: 0 and 16 the driver's default, 1 JPEG, 3 H.264.
// StreamKind values: 0 recording, 1 live, 2 remote.
struct STREAM_PARAMS {
    uint32_t frameIntervalMs = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t quality = 0;  // 1 to 100
    uint32_t codec = 0;
    uint32_t kind = 0;
};

}  // namespace talvik

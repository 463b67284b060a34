// The camera's side of the socket tests on 127.0.0.1, on every platform: byte
// building, a UDP peer on the datagram seam.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/UdpSocket.h"
#include "support/Threads.h"

namespace talvik_test {

// Generous limit for anything a test waits for; never reached when it works.
constexpr int kWaitLimitMs = 20000;

// Bytes from hex digits; anything else (blanks) is skipped.
inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text)
        if (isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline const uint32_t kLoopback = talvik::IPv4Address(127, 0, 0, 1);

// A UDP socket bound to a free port of a loopback address (network order).
class UdpPeer {
public:
    explicit UdpPeer(uint32_t address = kLoopback) {
        talvik::CUdpSocket::Options options;
        options.receiveBuffer = 1 << 20;
        socket_.Open(address, 0, options);
    }
    uint16_t Port() const { return socket_.Port(); }

    bool SendTo(uint16_t port, const std::vector<uint8_t>& data) const {
        return socket_.SendTo({kLoopback, port}, data.data(), data.size());
    }

    // Next datagram within the wait limit; false on time-out.
    bool Receive(std::vector<uint8_t>& out, int limitMs = kWaitLimitMs) const {
        if (socket_.WaitReadable(uint32_t(limitMs)) != talvik::CUdpSocket::WaitResult::kReadable)
            return false;
        out.resize(65536);
        talvik::UdpDatagram datagram;
        talvik::CUdpSocket::ReceiveError error;
        if (socket_.ReceiveBatch(out.data(), out.size(), &datagram, 1, &error) != 1) return false;
        out.resize(datagram.length);
        return true;
    }

private:
    mutable talvik::CUdpSocket socket_;
};

}  // namespace talvik_test

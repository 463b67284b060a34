// Helpers for the RTP/RTCP socket tests: byte building, a plain UDP socket on
// 127.0.0.1 playing the camera, a wait for a predicate, and a count of this
// process's threads (support/Threads.h). Built on the datagram seam, so the
// same tests run on every platform.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/UdpSocket.h"
#include "support/Threads.h"

namespace talvik_test {

// Generous limit for anything a test waits for; never reached when it works.
constexpr int kWaitLimitMs = 20000;

// Bytes from hex digits; anything else (spaces) is skipped.
inline std::vector<uint8_t> Hex(const char* text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (; *text; ++text) {
        const char c = *text;
        const int v = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

// The parts one after another.
inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const std::vector<uint8_t>& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (24 - 8 * i));
}

inline uint32_t Loopback() {
    return talvik::IPv4Address(127, 0, 0, 1);
}

// A UDP socket bound to a free port of a loopback address (network order).
class UdpPeer {
public:
    explicit UdpPeer(uint32_t address = Loopback()) {
        talvik::CUdpSocket::Options options;
        options.receiveBuffer = 1 << 20;
        socket_.Open(address, 0, options);
    }
    uint16_t Port() const { return socket_.Port(); }

    bool SendTo(uint16_t port, const std::vector<uint8_t>& data) const {
        return socket_.SendTo({Loopback(), port}, data.data(), data.size());
    }

    // Next datagram within the wait limit; false on time-out.
    bool Receive(std::vector<uint8_t>& out, int limitMs = kWaitLimitMs,
                 talvik::IPv4Endpoint* sender = nullptr) const {
        if (socket_.WaitReadable(uint32_t(limitMs)) != talvik::CUdpSocket::WaitResult::kReadable)
            return false;
        out.resize(65536);
        talvik::UdpDatagram datagram;
        talvik::CUdpSocket::ReceiveError error;
        if (socket_.ReceiveBatch(out.data(), out.size(), &datagram, 1, &error) != 1) return false;
        out.resize(datagram.length);
        if (sender != nullptr) *sender = datagram.sender;
        return true;
    }

    // The address another peer sees this one's datagrams come from. Wine
    // sends from 127.0.0.1 whichever loopback address a socket is bound to.
    uint32_t SourceSeenBy(const UdpPeer& receiver) const {
        std::vector<uint8_t> probe{0};
        talvik::IPv4Endpoint sender;
        return SendTo(receiver.Port(), probe) && receiver.Receive(probe, kWaitLimitMs, &sender)
                   ? sender.address
                   : 0;
    }

private:
    mutable talvik::CUdpSocket socket_;
};

// Waits until predicate holds (checked whenever Notify is called).
class Waiter {
public:
    template <typename Predicate>
    bool WaitFor(Predicate predicate, int limitMs = kWaitLimitMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(limitMs), predicate);
    }
    void Notify() { changed.notify_all(); }

    std::mutex mutex;
    std::condition_variable changed;
};

}  // namespace talvik_test

// The camera's side of the socket tests on 127.0.0.1, on every platform: byte
// building, a UDP peer on the datagram seam, a TCP listener, and a wait for a
// predicate.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Sockets.h"
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

private:
    mutable talvik::CUdpSocket socket_;
};

// A listening TCP socket on 127.0.0.1 that takes one connection.
class LoopbackTcpListener {
#ifdef _WIN32
    using Socket = SOCKET;
    static void CloseSocket(Socket s) {
        closesocket(s);
    }
#else
    using Socket = int;
    static void CloseSocket(Socket s) {
        close(s);
    }
#endif
public:
    LoopbackTcpListener() : listener_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            listen(listener_, 4) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~LoopbackTcpListener() {
        ClosePeer();
        CloseSocket(listener_);
    }
    uint16_t Port() const {
        return port_;
    }
    bool Accept() {
        if (!Readable(listener_)) return false;
        peer_ = accept(listener_, nullptr, nullptr);
        return peer_ != Socket(-1);
    }
    bool Send(const std::string& data) {
        return send(peer_, data.data(), int(data.size()), 0) == int(data.size());
    }
    // Appends what arrives until out holds `size` bytes; false on time-out.
    bool Receive(std::string* out, size_t size) {
        char buffer[4096];
        for (int n = 1; out->size() < size && n > 0;) {
            n = Readable(peer_) ? int(recv(peer_, buffer, sizeof buffer, 0)) : 0;
            out->append(buffer, size_t(std::max(n, 0)));
        }
        return out->size() >= size;
    }
    // Closes the accepted connection (the client reads its end).
    void ClosePeer() {
        if (peer_ != Socket(-1)) CloseSocket(peer_);
        peer_ = Socket(-1);
    }

private:
    static bool Readable(Socket s) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval limit{kWaitLimitMs / 1000, 0};
        return select(int(s + 1), &set, nullptr, nullptr, &limit) == 1;
    }

    talvik::CNetworkUse network_;
    Socket listener_;
    Socket peer_ = Socket(-1);
    uint16_t port_ = 0;
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

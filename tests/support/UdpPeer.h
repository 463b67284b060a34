// A plain UDP socket bound to a free port on 127.0.0.1 (or another loopback
// address), playing a camera or a client in network tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace talvik_test {

class UdpPeer {
public:
    explicit UdpPeer(uint32_t address = htonl(INADDR_LOOPBACK)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 1 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = address;
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~UdpPeer() { close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int Fd() const { return fd_; }
    uint16_t Port() const { return port_; }

    bool SendTo(uint16_t port, const std::vector<uint8_t>& data) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to) == ssize_t(data.size());
    }

    // Next datagram within the wait limit; false on time-out.
    bool Receive(std::vector<uint8_t>& out, int limitMs = 20000) const {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, limitMs) != 1) return false;
        out.resize(65536);
        const ssize_t n = recv(fd_, out.data(), out.size(), 0);
        if (n < 0) return false;
        out.resize(size_t(n));
        return true;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace talvik_test

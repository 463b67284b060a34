#include "rtsp/RTSPConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/Text.h"

namespace talvik {

namespace {

// Once interrupted, a wait lasts no longer than this (time for a TEARDOWN answer).
constexpr uint32_t kInterruptedWaitMs = 100;
constexpr uint32_t kConnectRoundMs = 100;

int ClampTimeout(uint32_t ms) {
    return static_cast<int>(std::min<uint32_t>(ms, 24u * 3600 * 1000));
}

}  // namespace

CTCPRTSPConnection::CTCPRTSPConnection() {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CTCPRTSPConnection::~CTCPRTSPConnection() {
    Close();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool CTCPRTSPConnection::Connect(const RTSPConnectionParams& params) {
    Close();
    interrupted_ = false;
    if (wakeFd_ >= 0) {
        uint64_t drained = 0;
        while (::read(wakeFd_, &drained, sizeof(drained)) > 0) {
        }
    }
    receiveTimeoutMs_ = params.receiveTimeoutMs;
    sendTimeoutMs_ = params.sendTimeoutMs;

    const uint32_t address = ResolveHostAddress(params.host);
    if (address == 0) return false;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) return false;
    const int bufferSize = static_cast<int>(std::min<uint32_t>(params.receiveBufferSize, 1u << 24));
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize)) != 0) {
        ::close(fd);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(params.port);
    peer.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0) {
        socket_ = fd;
        return true;
    }
    if (errno != EINPROGRESS) {
        ::close(fd);
        return false;
    }
    // Wait in 100 ms rounds so that the limit reads as a count of rounds.
    socket_ = fd;
    const uint32_t rounds = params.connectTimeoutMs / kConnectRoundMs;
    for (uint32_t round = 0; round < rounds && !interrupted_; ++round) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kConnectRoundMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready > 0) {
            int error = 0;
            socklen_t length = sizeof(error);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                return true;
            }
            break;
        }
    }
    Close();
    return false;
}

bool CTCPRTSPConnection::WaitReady(short events, uint32_t timeoutMs) {
    if (socket_ < 0) return false;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const bool interrupted = interrupted_;
        const uint32_t limit = interrupted ? std::min(timeoutMs, kInterruptedWaitMs) : timeoutMs;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        if (elapsed >= static_cast<int64_t>(limit)) return false;
        const int wait = ClampTimeout(limit - static_cast<uint32_t>(elapsed));

        pollfd fds[2] = {{socket_, events, 0}, {wakeFd_, POLLIN, 0}};
        // The wake descriptor stays readable after an interrupt: watch it only until then.
        const nfds_t count = (!interrupted && wakeFd_ >= 0) ? 2 : 1;
        const int ready = ::poll(fds, count, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready == 0) return false;
        if (fds[0].revents != 0) return true;
        // Woken by Interrupt: the next round applies the short limit.
    }
}

int CTCPRTSPConnection::Send(const char* data, size_t size) {
    if (socket_ < 0 || data == nullptr) return -1;
    size_t sent = 0;
    while (sent < size) {
        if (!WaitReady(POLLOUT, sendTimeoutMs_)) break;
        const ssize_t n = ::send(socket_, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            break;
        }
        sent += static_cast<size_t>(n);
    }
    return sent == 0 && size != 0 ? -1 : static_cast<int>(sent);
}

int CTCPRTSPConnection::Receive(uint8_t* buffer, size_t size) {
    if (socket_ < 0 || buffer == nullptr || size == 0) return -1;
    // Bytes already queued are taken at once; only an empty socket waits.
    // An interrupt still ends the stream: the reader checks its stop flag
    // after every read, and a drained socket waits no longer than the
    // interrupted limit.
    for (;;) {
        const ssize_t n = ::recv(socket_, buffer, size, MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!WaitReady(POLLIN, receiveTimeoutMs_)) return -1;
    }
}

void CTCPRTSPConnection::Interrupt() {
    interrupted_ = true;
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        const ssize_t written = ::write(wakeFd_, &one, sizeof(one));
        (void)written;
    }
}

void CTCPRTSPConnection::Close() {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

}  // namespace talvik

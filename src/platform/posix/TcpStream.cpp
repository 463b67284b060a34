#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "platform/TcpStream.h"

namespace talvik {

CTcpStream::CTcpStream() {
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CTcpStream::~CTcpStream() {
    Close();
    if (wake_ >= 0) ::close(wake_);
}

CTcpStream::ConnectResult CTcpStream::StartConnect(uint32_t address, uint16_t port,
                                                   uint32_t receiveBufferSize) {
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) return ConnectResult::kFailed;
    const int bufferSize = static_cast<int>(std::min<uint32_t>(receiveBufferSize, 1u << 24));
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize)) != 0) {
        ::close(fd);
        return ConnectResult::kFailed;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0) {
        socket_ = fd;
        return ConnectResult::kConnected;
    }
    if (errno != EINPROGRESS) {
        ::close(fd);
        return ConnectResult::kFailed;
    }
    socket_ = fd;
    return ConnectResult::kPending;
}

bool CTcpStream::ConnectSucceeded() {
    int error = 0;
    socklen_t length = sizeof(error);
    return ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

CTcpStream::WaitResult CTcpStream::Wait(bool writable, uint32_t waitMs, bool watchWake) {
    if (socket_ < 0) return WaitResult::kFailed;
    const int wait = static_cast<int>(std::min<uint32_t>(waitMs, 24u * 3600 * 1000));
    pollfd fds[2] = {{socket_, short(writable ? POLLOUT : POLLIN), 0}, {wake_, POLLIN, 0}};
    const nfds_t count = (watchWake && wake_ >= 0) ? 2 : 1;
    const int ready = ::poll(fds, count, wait);
    if (ready < 0) return errno == EINTR ? WaitResult::kAgain : WaitResult::kFailed;
    if (ready == 0) return WaitResult::kTimeout;
    return fds[0].revents != 0 ? WaitResult::kReady : WaitResult::kWoken;
}

long CTcpStream::SendSome(const char* data, size_t size) {
    const ssize_t n = ::send(socket_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return long(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kWouldBlock : -1;
}

long CTcpStream::ReceiveSome(uint8_t* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::recv(socket_, buffer, size, MSG_DONTWAIT);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
    }
}

void CTcpStream::Wake() {
    if (wake_ < 0) return;
    const uint64_t one = 1;
    const ssize_t written = ::write(wake_, &one, sizeof(one));
    (void)written;
}

void CTcpStream::DrainWake() {
    if (wake_ < 0) return;
    uint64_t drained = 0;
    while (::read(wake_, &drained, sizeof(drained)) > 0) {
    }
}

void CTcpStream::Close() {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

}  // namespace talvik

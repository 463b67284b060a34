// The wake-up is a datagram socket on 127.0.0.1 that Wake sends a byte to
// itself and that sits in the same select as the stream, rather than
// WSAEventSelect: the wait stays one select with a time-out, readiness is read
// from the socket itself each time (WSAEventSelect's FD_WRITE is an edge
// that fires again only after a send hit WSAEWOULDBLOCK), and it needs no
// listening socket, as a connected pair would.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

#include "platform/Sockets.h"
#include "platform/TcpStream.h"

namespace talvik {

namespace {

// Winsock's handles fit the int the seam keeps (they are small kernel handle
// values, and INVALID_SOCKET becomes -1).
SOCKET AsSocket(int handle) {
    return handle < 0 ? INVALID_SOCKET : static_cast<SOCKET>(handle);
}

int FromSocket(SOCKET s) {
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

bool SetNonBlocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

}  // namespace

CTcpStream::CTcpStream() {
    // Every stream holds Winsock for its life (the system counts the
    // start-ups), so that the wake socket can be made here, before any
    // thread may call Wake.
    if (!StartNetworkUse()) return;
    const SOCKET wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (wake != INVALID_SOCKET &&
        (bind(wake, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
         !SetNonBlocking(wake))) {
        closesocket(wake);
        wake_ = -1;
    } else {
        wake_ = FromSocket(wake);
    }
    if (wake_ < 0) EndNetworkUse();
}

CTcpStream::~CTcpStream() {
    Close();
    if (wake_ >= 0) {
        closesocket(AsSocket(wake_));
        EndNetworkUse();
    }
}

CTcpStream::ConnectResult CTcpStream::StartConnect(uint32_t address, uint16_t port,
                                                   uint32_t receiveBufferSize) {
    Close();
    if (wake_ < 0) return ConnectResult::kFailed;  // Winsock did not start
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return ConnectResult::kFailed;
    const int bufferSize = static_cast<int>(std::min<uint32_t>(receiveBufferSize, 1u << 24));
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferSize),
                   sizeof bufferSize) != 0 ||
        !SetNonBlocking(s)) {
        closesocket(s);
        return ConnectResult::kFailed;
    }
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        socket_ = FromSocket(s);
        return ConnectResult::kConnected;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        closesocket(s);
        return ConnectResult::kFailed;
    }
    socket_ = FromSocket(s);
    return ConnectResult::kPending;
}

bool CTcpStream::ConnectSucceeded() {
    int error = 0;
    int length = sizeof error;
    return getsockopt(AsSocket(socket_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                      &length) == 0 &&
           error == 0;
}

CTcpStream::WaitResult CTcpStream::Wait(bool writable, uint32_t waitMs, bool watchWake) {
    if (socket_ < 0) return WaitResult::kFailed;
    const uint32_t wait = std::min<uint32_t>(waitMs, 24u * 3600 * 1000);
    timeval limit{};
    limit.tv_sec = long(wait / 1000);
    limit.tv_usec = long((wait % 1000) * 1000);
    fd_set readable, writableSet, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writableSet);
    FD_ZERO(&failed);
    const SOCKET s = AsSocket(socket_);
    FD_SET(s, writable ? &writableSet : &readable);
    // A failed connect shows only in the exception set.
    FD_SET(s, &failed);
    if (watchWake && wake_ >= 0) FD_SET(AsSocket(wake_), &readable);
    const int ready = select(0, &readable, &writableSet, &failed, &limit);
    if (ready == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR ? WaitResult::kAgain : WaitResult::kFailed;
    if (ready == 0) return WaitResult::kTimeout;
    if (FD_ISSET(s, &readable) || FD_ISSET(s, &writableSet) || FD_ISSET(s, &failed)) {
        return WaitResult::kReady;
    }
    return WaitResult::kWoken;
}

long CTcpStream::SendSome(const char* data, size_t size) {
    const int n = ::send(AsSocket(socket_), data, int(std::min<size_t>(size, INT_MAX)), 0);
    if (n >= 0) return long(n);
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR ? kWouldBlock : -1;
}

long CTcpStream::ReceiveSome(uint8_t* buffer, size_t size) {
    for (;;) {
        const int n = ::recv(AsSocket(socket_), reinterpret_cast<char*>(buffer),
                             int(std::min<size_t>(size, INT_MAX)), 0);
        if (n >= 0) return long(n);
        const int error = WSAGetLastError();
        if (error == WSAEINTR) continue;
        return error == WSAEWOULDBLOCK ? kWouldBlock : -1;
    }
}

void CTcpStream::Wake() {
    if (wake_ < 0) return;
    const SOCKET wake = AsSocket(wake_);
    sockaddr_in self{};
    int length = sizeof self;
    if (getsockname(wake, reinterpret_cast<sockaddr*>(&self), &length) != 0) return;
    const char one = 1;
    sendto(wake, &one, 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self);
}

void CTcpStream::DrainWake() {
    if (wake_ < 0) return;
    char drained[16];
    while (::recv(AsSocket(wake_), drained, sizeof drained, 0) > 0) {
    }
}

void CTcpStream::Close() {
    if (socket_ >= 0) {
        closesocket(AsSocket(socket_));
        socket_ = -1;
    }
}

}  // namespace talvik

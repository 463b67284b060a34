// The waits are on two events rather than in select: `ready_`, which the
// system sets through WSAEventSelect when the socket's state changes (data or
// the peer's close queued, a connect done, room to send after a refused send),
// and `wake_`, which Wake sets and DrainWake clears. Under Wine a select costs
// a poll request, a wait and its result, and keeps the wineserver polling the
// socket; a wait on two events is one request. The readiness is an edge, not
// a level: the system sets `ready_` again only after a read (or a refused
// send) re-enables it, so the caller always reads (or sends) before waiting,
// and a send is tried at once unless the last one was refused.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "platform/Sockets.h"
#include "platform/TcpStream.h"

namespace talvik {

namespace {

// Winsock's handles, and the events' handles, fit the int the seam keeps
// (they are small kernel handle values even in a 64-bit process, and
// INVALID_SOCKET becomes -1).
SOCKET AsSocket(int handle) {
    return handle < 0 ? INVALID_SOCKET : static_cast<SOCKET>(handle);
}

int FromSocket(SOCKET s) {
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

HANDLE AsHandle(int handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

int FromHandle(HANDLE h) {
    return h == nullptr ? -1 : static_cast<int>(reinterpret_cast<intptr_t>(h));
}

}  // namespace

CTcpStream::CTcpStream() {
    // Every stream holds Winsock for its life (the system counts the
    // start-ups), and its events are made here, before any thread may call
    // Wake.
    if (!StartNetworkUse()) return;
    const HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ready == nullptr || wake == nullptr) {
        if (ready != nullptr) CloseHandle(ready);
        if (wake != nullptr) CloseHandle(wake);
        EndNetworkUse();
        return;
    }
    ready_ = FromHandle(ready);
    wake_ = FromHandle(wake);
}

CTcpStream::~CTcpStream() {
    Close();
    if (wake_ >= 0) {
        CloseHandle(AsHandle(ready_));
        CloseHandle(AsHandle(wake_));
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
    // WSAEventSelect makes the socket non-blocking.
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferSize),
                   sizeof bufferSize) != 0 ||
        WSAEventSelect(s, AsHandle(ready_), FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
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
    connecting_ = true;
    return ConnectResult::kPending;
}

bool CTcpStream::ConnectSucceeded() {
    return socket_ >= 0 && !connecting_ && connectError_ == 0;
}

CTcpStream::WaitResult CTcpStream::Wait(bool writable, uint32_t waitMs, bool watchWake) {
    if (socket_ < 0) return WaitResult::kFailed;
    // Room to send is not an event until a send was refused.
    if (writable && !connecting_ && !sendBlocked_) return WaitResult::kReady;
    // The wake-up first: an interrupt is not held up by a busy socket.
    const HANDLE events[2] = {AsHandle(wake_), AsHandle(ready_)};
    const DWORD limit = std::min<uint32_t>(waitMs, 24u * 3600 * 1000);
    const DWORD woke = watchWake ? WaitForMultipleObjects(2, events, FALSE, limit)
                                 : WaitForSingleObject(events[1], limit);
    if (woke == WAIT_TIMEOUT) return WaitResult::kTimeout;
    if (watchWake && woke == WAIT_OBJECT_0) return WaitResult::kWoken;
    if (woke != (watchWake ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0)) return WaitResult::kFailed;
    if (!connecting_) return WaitResult::kReady;
    // The connect's outcome comes with its event (a failed connect does not
    // always show in SO_ERROR on Windows).
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(AsSocket(socket_), nullptr, &happened) != 0)
        return WaitResult::kFailed;
    if ((happened.lNetworkEvents & FD_CONNECT) == 0) return WaitResult::kAgain;
    connecting_ = false;
    connectError_ = happened.iErrorCode[FD_CONNECT_BIT];
    return WaitResult::kReady;
}

long CTcpStream::SendSome(const char* data, size_t size) {
    const int n = ::send(AsSocket(socket_), data, int(std::min<size_t>(size, INT_MAX)), 0);
    sendBlocked_ = n < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
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
    if (wake_ >= 0) SetEvent(AsHandle(wake_));
}

void CTcpStream::DrainWake() {
    if (wake_ >= 0) ResetEvent(AsHandle(wake_));
}

void CTcpStream::Close() {
    if (socket_ >= 0) {
        closesocket(AsSocket(socket_));
        socket_ = -1;
        // What the closed socket set must not wake a wait on the next one.
        ResetEvent(AsHandle(ready_));
    }
    connecting_ = false;
    connectError_ = 0;
    sendBlocked_ = false;
}

}  // namespace talvik

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mswsock.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/Sockets.h"
#include "platform/UdpSocket.h"

namespace talvik {

namespace {

// Waits on a send that found the system's buffer full.
constexpr uint32_t kSendWaitMs = 1000;

SOCKET AsSocket(intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

sockaddr_in ToSockaddr(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

// Wine 8 binds a datagram socket asked for an address that is neither the
// wildcard, 127.0.0.1 nor an interface's own (127.0.0.2, say) to the wildcard
// instead, while still naming the asked address: its datagrams then leave
// from 127.0.0.1. Bound as the IPv4-mapped IPv6 address of a dual-stack
// socket, they leave from the asked address, here as on Windows.
bool BindsMapped(uint32_t address) {
    const bool group = (ntohl(address) >> 28) == 14;
    return address != kIPv4Any && address != htonl(INADDR_LOOPBACK) && !group;
}

sockaddr_in6 ToMapped(uint32_t address, uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr.s6_addr[10] = 0xFF;
    a.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(&a.sin6_addr.s6_addr[12], &address, sizeof address);
    a.sin6_port = htons(port);
    return a;
}

// The sender of a datagram read by either kind of socket.
IPv4Endpoint FromSockaddr(const sockaddr_storage& from) {
    IPv4Endpoint e;
    if (from.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(from);
        e.address = a.sin_addr.s_addr;
        e.port = ntohs(a.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(from);
        std::memcpy(&e.address, &a.sin6_addr.s6_addr[12], sizeof e.address);
        e.port = ntohs(a.sin6_port);
    }
    return e;
}

bool IsMappedSocket(SOCKET s) {
    WSAPROTOCOL_INFOA info{};
    int length = sizeof info;
    return getsockopt(s, SOL_SOCKET, SO_PROTOCOL_INFOA, reinterpret_cast<char*>(&info), &length) ==
               0 &&
           info.iAddressFamily == AF_INET6;
}

timeval ToTimeval(uint32_t ms) {
    timeval tv{};
    tv.tv_sec = long(ms / 1000);
    tv.tv_usec = long((ms % 1000) * 1000);
    return tv;
}

bool SetNonBlocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

// A datagram socket on 127.0.0.1 and a free port, for the wake-up.
SOCKET OpenWakeSocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in local = ToSockaddr(htonl(INADDR_LOOPBACK), 0);
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        !SetNonBlocking(s)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

bool ParseDottedIPv4(const char* text, uint32_t* address) {
    in_addr parsed{};
    if (text == nullptr || *text == '\0' || inet_pton(AF_INET, text, &parsed) != 1) return false;
    *address = parsed.s_addr;
    return true;
}

CUdpSocket::~CUdpSocket() {
    Close();
}

CUdpSocket::CUdpSocket(CUdpSocket&& other) noexcept
    : socket_(std::exchange(other.socket_, kInvalid)),
      wake_(std::exchange(other.wake_, kInvalid)),
      port_(std::exchange(other.port_, 0)) {}

CUdpSocket& CUdpSocket::operator=(CUdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        socket_ = std::exchange(other.socket_, kInvalid);
        wake_ = std::exchange(other.wake_, kInvalid);
        port_ = std::exchange(other.port_, 0);
    }
    return *this;
}

bool CUdpSocket::Open(uint32_t bindAddress, uint16_t port, const Options& options) {
    if (IsOpen()) return false;
    // An open socket holds Winsock (the system counts the start-ups), so that
    // it works on any thread, whoever else holds it.
    if (!StartNetworkUse()) return false;
    SOCKET s = INVALID_SOCKET;
    if (BindsMapped(bindAddress)) {
        s = ::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
        const DWORD v6Only = 0;
        if (s != INVALID_SOCKET &&
            setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only),
                       sizeof v6Only) != 0) {
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    // Without IPv6, a plain IPv4 socket.
    if (s == INVALID_SOCKET) s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        EndNetworkUse();
        return false;
    }
    const BOOL reuse = TRUE;
    const int receiveBuffer = int(std::min<uint32_t>(options.receiveBuffer, 1u << 30));
    // Winsock takes its time-outs as milliseconds in a DWORD.
    const DWORD receiveTimeout = options.receiveTimeoutMs;
    const DWORD sendTimeout = options.sendTimeoutMs;
    const char* option = nullptr;
    bool ok = true;
    if (options.reuseAddress) {
        option = reinterpret_cast<const char*>(&reuse);
        ok = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, option, sizeof reuse) == 0;
    }
    option = reinterpret_cast<const char*>(&receiveBuffer);
    ok = ok && setsockopt(s, SOL_SOCKET, SO_RCVBUF, option, sizeof receiveBuffer) == 0;
    if (ok && receiveTimeout != 0) {
        option = reinterpret_cast<const char*>(&receiveTimeout);
        ok = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, option, sizeof receiveTimeout) == 0;
    }
    if (ok && sendTimeout != 0) {
        option = reinterpret_cast<const char*>(&sendTimeout);
        ok = setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, option, sizeof sendTimeout) == 0;
    }
    const sockaddr_in local4 = ToSockaddr(bindAddress, port);
    const sockaddr_in6 local6 = ToMapped(bindAddress, port);
    const bool mapped = IsMappedSocket(s);
    ok = ok && (mapped ? bind(s, reinterpret_cast<const sockaddr*>(&local6), sizeof local6)
                       : bind(s, reinterpret_cast<const sockaddr*>(&local4), sizeof local4)) == 0;
    sockaddr_storage local{};
    int localLength = sizeof local;
    ok = ok && getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) == 0;
    // Reads never block: the receive loop waits in select only.
    ok = ok && SetNonBlocking(s);
    const SOCKET wake = ok ? OpenWakeSocket() : INVALID_SOCKET;
    if (!ok || wake == INVALID_SOCKET) {
        closesocket(s);
        EndNetworkUse();
        return false;
    }
    // Without this a send answered by an ICMP port-unreachable makes the
    // next receive fail with WSAECONNRESET.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    socket_ = intptr_t(s);
    wake_ = intptr_t(wake);
    port_ = FromSockaddr(local).port;
    return true;
}

bool CUdpSocket::JoinGroup(uint32_t group, uint32_t interfaceAddress) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = interfaceAddress;
    return IsOpen() &&
           setsockopt(AsSocket(socket_), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                      reinterpret_cast<const char*>(&membership), sizeof membership) == 0;
}

void CUdpSocket::LeaveGroup(uint32_t group, uint32_t interfaceAddress) {
    if (!IsOpen()) return;
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = interfaceAddress;
    setsockopt(AsSocket(socket_), IPPROTO_IP, IP_DROP_MEMBERSHIP,
               reinterpret_cast<const char*>(&membership), sizeof membership);
}

CUdpSocket::WaitResult CUdpSocket::WaitReadable(uint32_t waitMs) {
    if (!IsOpen()) return WaitResult::kLost;
    // Winsock's select does not return for a datagram socket shut down by
    // another thread; the wake socket's datagram ends the wait instead.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(AsSocket(socket_), &readable);
    FD_SET(AsSocket(wake_), &readable);
    timeval limit = ToTimeval(std::min<uint32_t>(waitMs, 24u * 3600 * 1000));
    const int ready = select(0, &readable, nullptr, nullptr, &limit);
    if (ready == 0) return WaitResult::kTimeout;
    if (ready == SOCKET_ERROR) {
        switch (WSAGetLastError()) {
            case WSAEFAULT:
            case WSAENETDOWN:
            case WSANOTINITIALISED:
            case WSAENOTSOCK:
                return WaitResult::kLost;
            case WSAEINVAL:
                return WaitResult::kShutDown;
            default:
                return WaitResult::kAgain;
        }
    }
    if (FD_ISSET(AsSocket(wake_), &readable)) {
        char drained[16];
        while (recv(AsSocket(wake_), drained, sizeof drained, 0) > 0) {
        }
    }
    return WaitResult::kReadable;
}

int CUdpSocket::ReceiveBatch(uint8_t* slots, size_t slotSize, UdpDatagram* out, int count,
                             ReceiveError* error) {
    count = std::clamp(count, 0, kMaxBatch);
    const int size = int(std::min<size_t>(slotSize, INT_MAX));
    *error = ReceiveError::kNone;
    // Winsock has no batch receive: one call per datagram until none is left.
    int received = 0;
    for (int attempts = 0; received < count && attempts < 2 * kMaxBatch; ++attempts) {
        uint8_t* slot = slots + size_t(received) * slotSize;
        sockaddr_storage from{};
        int fromLength = sizeof from;
        const int n = recvfrom(AsSocket(socket_), reinterpret_cast<char*>(slot), size, 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
        bool truncated = false;
        if (n == SOCKET_ERROR) {
            const int e = WSAGetLastError();
            // A refused earlier send, reported on a later read: nothing was read.
            if (e == WSAECONNRESET) continue;
            if (e != WSAEMSGSIZE) {
                if (received == 0) {
                    *error = e == WSAEWOULDBLOCK ? ReceiveError::kEmpty
                             : e == WSAEINTR     ? ReceiveError::kInterrupted
                                                 : ReceiveError::kFailed;
                    return -1;
                }
                break;
            }
            truncated = true;
        }
        UdpDatagram& d = out[received++];
        d.data = slot;
        d.length = truncated ? size_t(size) : size_t(n);
        d.truncated = truncated;
        d.sender = FromSockaddr(from);
    }
    return received;
}

void CUdpSocket::Discard(int most) {
    char discard[1500];
    for (int i = 0; i < most && IsOpen(); ++i) {
        const int n = recv(AsSocket(socket_), discard, sizeof discard, 0);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) continue;
        if (n <= 0) break;
    }
}

bool CUdpSocket::SendTo(const IPv4Endpoint& destination, const uint8_t* data, size_t length) {
    if (!IsOpen()) return false;
    if (length == 0) return true;
    if (data == nullptr || length > size_t(INT_MAX)) return false;
    const sockaddr_in to4 = ToSockaddr(destination.address, destination.port);
    const sockaddr_in6 to6 = ToMapped(destination.address, destination.port);
    const bool mapped = IsMappedSocket(AsSocket(socket_));
    const sockaddr* to =
        mapped ? reinterpret_cast<const sockaddr*>(&to6) : reinterpret_cast<const sockaddr*>(&to4);
    const int toLength = mapped ? int(sizeof to6) : int(sizeof to4);
    size_t sent = 0;
    bool waited = false;
    while (sent < length) {
        const int n = sendto(AsSocket(socket_), reinterpret_cast<const char*>(data + sent),
                             int(length - sent), 0, to, toLength);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && !waited) {
            // The socket does not block; give a full buffer one bounded wait.
            waited = true;
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(AsSocket(socket_), &writable);
            timeval limit = ToTimeval(kSendWaitMs);
            if (select(0, nullptr, &writable, nullptr, &limit) != 1) return false;
            continue;
        }
        if (n < 1) return false;
        sent += size_t(n);
    }
    return true;
}

void CUdpSocket::Shutdown() {
    if (!IsOpen()) return;
    shutdown(AsSocket(socket_), SD_BOTH);
    sockaddr_in self{};
    int selfLength = sizeof self;
    if (getsockname(AsSocket(wake_), reinterpret_cast<sockaddr*>(&self), &selfLength) == 0) {
        const char one = 1;
        sendto(AsSocket(wake_), &one, 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self);
    }
}

void CUdpSocket::Close() {
    if (socket_ == kInvalid) return;
    closesocket(AsSocket(socket_));
    if (wake_ != kInvalid) closesocket(AsSocket(wake_));
    EndNetworkUse();
    socket_ = kInvalid;
    wake_ = kInvalid;
    port_ = 0;
}

}  // namespace talvik

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mswsock.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "SocketErrors.h"
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

HANDLE AsHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// "step: the system's text for the last Winsock error (its number)".
std::string StepError(const char* step) {
    return std::string(step) + ": " + WinsockErrorText(WSAGetLastError());
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
      ready_(std::exchange(other.ready_, kInvalid)),
      port_(std::exchange(other.port_, 0)),
      receiveBuffer_(std::exchange(other.receiveBuffer_, 0)) {}

CUdpSocket& CUdpSocket::operator=(CUdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        socket_ = std::exchange(other.socket_, kInvalid);
        wake_ = std::exchange(other.wake_, kInvalid);
        ready_ = std::exchange(other.ready_, kInvalid);
        port_ = std::exchange(other.port_, 0);
        receiveBuffer_ = std::exchange(other.receiveBuffer_, 0);
    }
    return *this;
}

bool CUdpSocket::Open(uint32_t bindAddress, uint16_t port, const Options& options) {
    if (IsOpen()) {
        lastError_ = "open: already open";
        return false;
    }
    lastError_.clear();
    addressInUse_ = false;
    // An open socket holds Winsock (the system counts the start-ups), so that
    // it works on any thread, whoever else holds it.
    if (!StartNetworkUse()) {
        lastError_ = "WSAStartup failed";
        return false;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        lastError_ = StepError("socket");
        EndNetworkUse();
        return false;
    }
    const BOOL on = TRUE;
    const int receiveBuffer = int(std::min<uint32_t>(options.receiveBuffer, 1u << 30));
    // Winsock takes its time-outs as milliseconds in a DWORD.
    const DWORD receiveTimeout = options.receiveTimeoutMs;
    const DWORD sendTimeout = options.sendTimeoutMs;
    const char* option = nullptr;
    const char* step = "setsockopt SO_REUSEADDR";
    bool ok = true;
    option = reinterpret_cast<const char*>(&on);
    if (options.reuseAddress) {
        ok = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, option, sizeof on) == 0;
    } else {
        // Under Windows' rules a plain bind takes a port that another socket
        // holds on a specific address, and a later socket of the same
        // account may bind over ours: either way the stream would go
        // elsewhere unseen. An exclusive socket fails its bind instead.
        step = "setsockopt SO_EXCLUSIVEADDRUSE";
        ok = setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, option, sizeof on) == 0;
    }
    option = reinterpret_cast<const char*>(&receiveBuffer);
    if (ok) step = "setsockopt SO_RCVBUF";
    ok = ok && setsockopt(s, SOL_SOCKET, SO_RCVBUF, option, sizeof receiveBuffer) == 0;
    if (ok && receiveTimeout != 0) {
        step = "setsockopt SO_RCVTIMEO";
        option = reinterpret_cast<const char*>(&receiveTimeout);
        ok = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, option, sizeof receiveTimeout) == 0;
    }
    if (ok && sendTimeout != 0) {
        step = "setsockopt SO_SNDTIMEO";
        option = reinterpret_cast<const char*>(&sendTimeout);
        ok = setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, option, sizeof sendTimeout) == 0;
    }
    sockaddr_in local = ToSockaddr(bindAddress, port);
    if (ok) step = "bind";
    ok = ok && bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    int localLength = sizeof local;
    if (ok) step = "getsockname";
    ok = ok && getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) == 0;
    // Reads never block: the receive loop waits on the events only.
    if (ok) step = "ioctlsocket FIONBIO";
    ok = ok && SetNonBlocking(s);
    // The wait takes two events, where select would cost a poll request, a
    // wait and its result each time, and could not be ended by Shutdown. The
    // system sets `ready` when data is queued (again after each read that
    // leaves some); the wait that returns for it resets it. Shutdown sets
    // `wake`, which stays set.
    HANDLE ready = nullptr;
    HANDLE wake = nullptr;
    if (ok) step = "CreateEvent";
    ok = ok && (ready = CreateEventW(nullptr, FALSE, FALSE, nullptr)) != nullptr &&
         (wake = CreateEventW(nullptr, TRUE, FALSE, nullptr)) != nullptr;
    if (ok) step = "WSAEventSelect";
    ok = ok && WSAEventSelect(s, ready, FD_READ) == 0;
    if (!ok) {
        // An exclusive holder refuses with WSAEACCES: taken all the same.
        const int error = WSAGetLastError();
        addressInUse_ =
            std::strcmp(step, "bind") == 0 && (error == WSAEADDRINUSE || error == WSAEACCES);
        lastError_ = std::strcmp(step, "CreateEvent") == 0
                         ? std::string(step) + ": error " + std::to_string(GetLastError())
                         : StepError(step);
        if (ready != nullptr) CloseHandle(ready);
        if (wake != nullptr) CloseHandle(wake);
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
    wake_ = reinterpret_cast<intptr_t>(wake);
    ready_ = reinterpret_cast<intptr_t>(ready);
    port_ = ntohs(local.sin_port);
    int granted = 0;
    int grantedLength = sizeof granted;
    receiveBuffer_ =
        getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &grantedLength) == 0
            ? uint32_t(granted)
            : 0;
    return true;
}

bool CUdpSocket::JoinGroup(uint32_t group, uint32_t interfaceAddress) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = interfaceAddress;
    if (!IsOpen()) return false;
    if (setsockopt(AsSocket(socket_), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                   reinterpret_cast<const char*>(&membership), sizeof membership) == 0) {
        return true;
    }
    lastError_ = StepError("join group");
    return false;
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
    // Shutdown first: a stop is not held up by a busy socket.
    const HANDLE events[2] = {AsHandle(wake_), AsHandle(ready_)};
    const DWORD limit = std::min<uint32_t>(waitMs, 24u * 3600 * 1000);
    switch (WaitForMultipleObjects(2, events, FALSE, limit)) {
        case WAIT_OBJECT_0:
            return WaitResult::kShutDown;
        case WAIT_OBJECT_0 + 1:
            return WaitResult::kReadable;
        case WAIT_TIMEOUT:
            return WaitResult::kTimeout;
        default:
            return WaitResult::kLost;
    }
}

namespace {

// Winsock has no batch receive: one call per datagram until none is left,
// datagram i into the `pieces` buffers at buffers + i * pieces.
int ReceiveEach(SOCKET socket, HANDLE ready, WSABUF* buffers, DWORD pieces, UdpDatagram* out,
                int count, CUdpSocket::ReceiveError* error) {
    *error = CUdpSocket::ReceiveError::kNone;
    int received = 0;
    bool cleared = false;
    for (int attempts = 0; received < count && attempts < 2 * CUdpSocket::kMaxBatch; ++attempts) {
        WSABUF* mine = buffers + size_t(received) * pieces;
        size_t room = 0;
        for (DWORD p = 0; p < pieces; ++p)
            room += mine[p].len;
        sockaddr_in from{};
        int fromLength = sizeof from;
        DWORD bytes = 0;
        DWORD flags = 0;
        const int result =
            WSARecvFrom(socket, mine, pieces, &bytes, &flags, reinterpret_cast<sockaddr*>(&from),
                        &fromLength, nullptr, nullptr);
        bool truncated = false;
        if (result == SOCKET_ERROR) {
            const int e = WSAGetLastError();
            // A refused earlier send, reported on a later read: nothing was read.
            if (e == WSAECONNRESET) continue;
            // Each read that left data queued set `ready` again: cleared now,
            // and the socket read once more, it wakes the next wait only for
            // data that comes after that read. Otherwise every burst would
            // cost a second wait and an empty read.
            if (e == WSAEWOULDBLOCK && received > 0 && !cleared) {
                ResetEvent(ready);
                cleared = true;
                continue;
            }
            if (e != WSAEMSGSIZE) {
                if (received == 0) {
                    *error = e == WSAEWOULDBLOCK ? CUdpSocket::ReceiveError::kEmpty
                             : e == WSAEINTR     ? CUdpSocket::ReceiveError::kInterrupted
                                                 : CUdpSocket::ReceiveError::kFailed;
                    return -1;
                }
                break;
            }
            truncated = true;
        }
        UdpDatagram& d = out[received++];
        d.data = reinterpret_cast<const uint8_t*>(mine[0].buf);
        d.length = truncated ? room : size_t(bytes);
        d.truncated = truncated;
        d.sender.address = from.sin_addr.s_addr;
        d.sender.port = ntohs(from.sin_port);
    }
    return received;
}

}  // namespace

int CUdpSocket::ReceiveBatch(uint8_t* slots, size_t slotSize, UdpDatagram* out, int count,
                             ReceiveError* error) {
    count = std::clamp(count, 0, kMaxBatch);
    const ULONG size = ULONG(std::min<size_t>(slotSize, INT_MAX));
    WSABUF buffers[kMaxBatch];
    for (int i = 0; i < count; ++i) {
        buffers[i].buf = reinterpret_cast<char*>(slots + size_t(i) * slotSize);
        buffers[i].len = size;
    }
    return ReceiveEach(AsSocket(socket_), AsHandle(ready_), buffers, 1, out, count, error);
}

int CUdpSocket::ReceiveInto(const UdpSlot* slots, UdpDatagram* out, int count,
                            ReceiveError* error) {
    count = std::clamp(count, 0, kMaxBatch);
    WSABUF buffers[2 * kMaxBatch];
    for (int i = 0; i < count; ++i) {
        buffers[2 * i].buf = reinterpret_cast<char*>(slots[i].head);
        buffers[2 * i].len = ULONG(std::min<size_t>(slots[i].headSize, INT_MAX));
        buffers[2 * i + 1].buf = reinterpret_cast<char*>(slots[i].body);
        buffers[2 * i + 1].len = ULONG(std::min<size_t>(slots[i].bodySize, INT_MAX));
    }
    return ReceiveEach(AsSocket(socket_), AsHandle(ready_), buffers, 2, out, count, error);
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
    const sockaddr_in to = ToSockaddr(destination.address, destination.port);
    size_t sent = 0;
    bool waited = false;
    while (sent < length) {
        const int n =
            sendto(AsSocket(socket_), reinterpret_cast<const char*>(data + sent),
                   int(length - sent), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
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
    // Winsock does not end a wait for a datagram socket shut down by another
    // thread; the event does.
    SetEvent(AsHandle(wake_));
}

void CUdpSocket::Close() {
    if (socket_ == kInvalid) return;
    closesocket(AsSocket(socket_));
    if (wake_ != kInvalid) CloseHandle(AsHandle(wake_));
    if (ready_ != kInvalid) CloseHandle(AsHandle(ready_));
    EndNetworkUse();
    socket_ = kInvalid;
    wake_ = kInvalid;
    ready_ = kInvalid;
    port_ = 0;
    receiveBuffer_ = 0;
}

}  // namespace talvik

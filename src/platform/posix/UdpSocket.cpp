#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/UdpSocket.h"

namespace talvik {

namespace {

timeval ToTimeval(uint32_t ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

sockaddr_in ToSockaddr(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

// "step: the system's text for errno".
std::string StepError(const char* step) {
    char text[256] = "";
    const int error = errno;
    // The GNU variant may return a static text instead of filling the buffer.
    const char* message = strerror_r(error, text, sizeof text);
    return std::string(step) + ": " + (message != nullptr ? message : text);
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
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) {
        lastError_ = StepError("socket");
        return false;
    }
    const int one = 1;
    const int receiveBuffer = int(std::min<uint32_t>(options.receiveBuffer, 1u << 30));
    const timeval receiveTimeout = ToTimeval(options.receiveTimeoutMs);
    const timeval sendTimeout = ToTimeval(options.sendTimeoutMs);
    const char* step = "setsockopt SO_REUSEADDR";
    bool ok = true;
    if (options.reuseAddress) ok = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
    if (ok) step = "setsockopt SO_RCVBUF";
    ok = ok && setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) == 0;
    if (ok && options.receiveTimeoutMs != 0) {
        step = "setsockopt SO_RCVTIMEO";
        ok = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout) == 0;
    }
    if (ok && options.sendTimeoutMs != 0) {
        step = "setsockopt SO_SNDTIMEO";
        ok = setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) == 0;
    }
    sockaddr_in local = ToSockaddr(bindAddress, port);
    if (ok) step = "bind";
    ok = ok && bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    socklen_t localLength = sizeof local;
    if (ok) step = "getsockname";
    ok = ok && getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) == 0;
    if (!ok) {
        addressInUse_ = std::strcmp(step, "bind") == 0 && errno == EADDRINUSE;
        lastError_ = StepError(step);
        ::close(s);
        return false;
    }
    socket_ = s;
    port_ = ntohs(local.sin_port);
    int granted = 0;
    socklen_t grantedLength = sizeof granted;
    receiveBuffer_ = getsockopt(s, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength) == 0
                         ? uint32_t(granted) / 2
                         : 0;
    return true;
}

bool CUdpSocket::JoinGroup(uint32_t group, uint32_t interfaceAddress) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = interfaceAddress;
    if (!IsOpen()) return false;
    if (setsockopt(int(socket_), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) ==
        0)
        return true;
    lastError_ = StepError("join group");
    return false;
}

void CUdpSocket::LeaveGroup(uint32_t group, uint32_t interfaceAddress) {
    if (!IsOpen()) return;
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = interfaceAddress;
    setsockopt(int(socket_), IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof membership);
}

CUdpSocket::WaitResult CUdpSocket::WaitReadable(uint32_t waitMs) {
    // poll, not select: a host with hundreds of cameras holds descriptors
    // beyond what an fd_set can name.
    pollfd descriptor{};
    descriptor.fd = int(socket_);
    descriptor.events = POLLIN;
    const int ready = poll(&descriptor, 1, int(std::min<uint32_t>(waitMs, 24u * 3600 * 1000)));
    if (ready > 0)
        return (descriptor.revents & POLLNVAL) ? WaitResult::kLost : WaitResult::kReadable;
    if (ready == 0) return WaitResult::kTimeout;
    return errno == EINTR ? WaitResult::kAgain : WaitResult::kLost;
}

namespace {

// Reads up to count datagrams at once, each into `pieces` consecutive vectors.
int ReceiveMessages(int socket, iovec* vectors, size_t pieces, UdpDatagram* out, int count,
                    CUdpSocket::ReceiveError* error) {
    mmsghdr messages[CUdpSocket::kMaxBatch];
    sockaddr_in senders[CUdpSocket::kMaxBatch];
    for (int i = 0; i < count; ++i) {
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = vectors + size_t(i) * pieces;
        messages[i].msg_hdr.msg_iovlen = pieces;
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    }
    // One system call for a whole burst of datagrams.
    const int received = recvmmsg(socket, messages, unsigned(count), MSG_DONTWAIT, nullptr);
    if (received < 0) {
        *error = errno == EINTR                            ? CUdpSocket::ReceiveError::kInterrupted
                 : errno == EAGAIN || errno == EWOULDBLOCK ? CUdpSocket::ReceiveError::kEmpty
                                                           : CUdpSocket::ReceiveError::kFailed;
        return -1;
    }
    *error = CUdpSocket::ReceiveError::kNone;
    for (int i = 0; i < received; ++i) {
        out[i].data = static_cast<const uint8_t*>(messages[i].msg_hdr.msg_iov[0].iov_base);
        out[i].length = messages[i].msg_len;
        out[i].truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        out[i].sender.address = senders[i].sin_addr.s_addr;
        out[i].sender.port = ntohs(senders[i].sin_port);
    }
    return received;
}

}  // namespace

int CUdpSocket::ReceiveBatch(uint8_t* slots, size_t slotSize, UdpDatagram* out, int count,
                             ReceiveError* error) {
    count = std::clamp(count, 0, kMaxBatch);
    iovec vectors[kMaxBatch];
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = slots + size_t(i) * slotSize;
        vectors[i].iov_len = slotSize;
    }
    return ReceiveMessages(int(socket_), vectors, 1, out, count, error);
}

int CUdpSocket::ReceiveInto(const UdpSlot* slots, UdpDatagram* out, int count,
                            ReceiveError* error) {
    count = std::clamp(count, 0, kMaxBatch);
    iovec vectors[2 * kMaxBatch];
    for (int i = 0; i < count; ++i) {
        vectors[2 * i].iov_base = slots[i].head;
        vectors[2 * i].iov_len = slots[i].headSize;
        vectors[2 * i + 1].iov_base = slots[i].body;
        vectors[2 * i + 1].iov_len = slots[i].bodySize;
    }
    return ReceiveMessages(int(socket_), vectors, 2, out, count, error);
}

void CUdpSocket::Discard(int most) {
    uint8_t discard[1500];
    for (int i = 0; i < most && IsOpen(); ++i) {
        if (recv(int(socket_), discard, sizeof discard, MSG_DONTWAIT) <= 0) break;
    }
}

bool CUdpSocket::SendTo(const IPv4Endpoint& destination, const uint8_t* data, size_t length) {
    if (!IsOpen()) return false;
    if (length == 0) return true;
    if (data == nullptr) return false;
    const sockaddr_in to = ToSockaddr(destination.address, destination.port);
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = sendto(int(socket_), data + sent, length - sent, MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n < 1) return false;
        sent += size_t(n);
    }
    return true;
}

void CUdpSocket::Shutdown() {
    // Ends a poll on the socket at once.
    if (IsOpen()) shutdown(int(socket_), SHUT_RDWR);
}

void CUdpSocket::Close() {
    if (IsOpen()) ::close(int(socket_));
    socket_ = kInvalid;
    port_ = 0;
    receiveBuffer_ = 0;
}

}  // namespace talvik

#include "rtsp/UDPClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "ThreadCancel.h"
#include "base/Text.h"
#include "platform/Clock.h"

namespace talvik {

namespace {

// A user's exception must not end the receive thread; a thread cancellation
// must still unwind.
template <typename Call>
void Guarded(Call&& call) {
    try {
        call();
    } catch (...) {
        RethrowThreadCancellation();
    }
}

timeval ToTimeval(uint32_t ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

bool ParseGroup(const char* text, uint32_t& group) {
    in_addr addr{};
    if (text == nullptr || *text == '\0' || inet_pton(AF_INET, text, &addr) != 1) return false;
    group = addr.s_addr;
    return true;
}

}  // namespace

CUDPClient::CUDPClient(IDebugMessage* logger) : CBaseThread(logger) {}

CUDPClient::~CUDPClient() {
    Close();
}

void CUDPClient::SetWaitTimeout(uint32_t ms) {
    waitTimeoutMs_ = std::max<uint32_t>(ms, 1);
}

uint16_t CUDPClient::GetPort() {
    CLockGuard guard(lock_);
    return port_;
}

bool CUDPClient::IsOpen() {
    CLockGuard guard(lock_);
    return socket_ >= 0;
}

bool CUDPClient::Open(IRTPClientUser* user, uint16_t port) {
    OpenParams params;
    params.port = port;
    params.receiveBuffer = int(socketReceiveBuffer_.load());
    return Start(user, params);
}

bool CUDPClient::OpenMulticast(IRTPClientUser* user, const char* group, uint16_t port,
                               uint32_t localInterface) {
    OpenParams params;
    params.port = port;
    params.receiveBuffer = int(socketReceiveBuffer_.load());
    params.interfaceAddress = localInterface;
    if (!ParseGroup(group, params.group)) {
        Close();
        return false;
    }
    // Linux delivers a group's datagrams only to sockets bound to the wildcard
    // (or the group) address, so the interface chooses the membership alone.
    params.bindAddress = INADDR_ANY;
    return Start(user, params);
}

bool CUDPClient::OpenMulticastAnyInterface(IRTPClientUser* user, const char* group, uint16_t port) {
    return OpenMulticast(user, group, port, INADDR_ANY);
}

bool CUDPClient::Start(IRTPClientUser* user, const OpenParams& params) {
    if (user == nullptr) {
        Close();
        return false;
    }
    bool started = false;
    {
        CLockGuard guard(lock_);
        user_ = user;
        if (Bind(params)) {
            threadSocket_ = socket_;
            stopping_ = false;
            started = StartThread(FormatString("UDP client thread, port %u", unsigned(port_)));
        }
    }
    if (!started) {
        Close();
        return false;
    }
    return true;
}

bool CUDPClient::Bind(const OpenParams& params) {
    if (socket_ >= 0) return false;
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) return false;
    const int one = 1;
    const int receiveBuffer = params.receiveBuffer > 0 ? params.receiveBuffer : 65535;
    const timeval receiveTimeout = ToTimeval(params.receiveTimeoutMs);
    const timeval sendTimeout = ToTimeval(params.sendTimeoutMs);
    bool ok = true;
    if (params.group != INADDR_NONE) {
        ok = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
    }
    ok = ok && setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) == 0;
    if (ok && params.receiveTimeoutMs != 0) {
        ok = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout) == 0;
    }
    if (ok && params.sendTimeoutMs != 0) {
        ok = setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) == 0;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = params.bindAddress;
    local.sin_port = htons(params.port);
    ok = ok && bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    socklen_t localLength = sizeof local;
    ok = ok && getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) == 0;
    if (!ok) {
        close(s);
        return false;
    }
    socket_ = s;
    // Port 0 asks the system for a free port; keep the one it chose.
    port_ = ntohs(local.sin_port);
    socketTimeoutMs_ = std::max(params.receiveTimeoutMs, params.sendTimeoutMs);
    if (params.group != INADDR_NONE) {
        ip_mreq membership{};
        membership.imr_multiaddr.s_addr = params.group;
        membership.imr_interface.s_addr = params.interfaceAddress;
        // On failure the bound socket stays for the Close that follows.
        if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
            return false;
        }
        group_ = params.group;
        groupInterface_ = params.interfaceAddress;
    }
    return true;
}

bool CUDPClient::Close() {
    stopping_ = true;
    StopEvent().Set();
    int closing = -1;
    bool joined = false;
    {
        CLockGuard guard(lock_);
        if (socket_ >= 0) {
            if (group_ != INADDR_NONE) {
                ip_mreq membership{};
                membership.imr_multiaddr.s_addr = group_;
                // The interface it was joined on: Linux finds the membership by it.
                membership.imr_interface.s_addr = groupInterface_;
                setsockopt(socket_, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof membership);
                group_ = INADDR_NONE;
            }
            // Wakes a receive thread blocked in poll at once.
            shutdown(socket_, SHUT_RDWR);
            closing = socket_;
            socket_ = -1;
            port_ = 0;
        }
        const uint32_t limit =
            std::max<uint32_t>(std::max<uint32_t>(waitTimeoutMs_, socketTimeoutMs_) + 1000, 5000);
        joined = JoinThread(limit);
    }
    if (closing >= 0) {
        uint8_t discard[1500];
        for (int i = 0; i < 100; ++i) {
            if (recv(closing, discard, sizeof discard, MSG_DONTWAIT) <= 0) break;
        }
        close(closing);
        IRTPClientUser* user = user_;
        if (user != nullptr) Guarded([&] { user->OnRTPClientClosed(this); });
    }
    return joined;
}

bool CUDPClient::SendTo(const sockaddr_in& destination, const uint8_t* data, size_t length) {
    // Held across the send so that Close cannot release the socket under it.
    CLockGuard guard(lock_);
    if (socket_ < 0) return false;
    if (length == 0) return true;
    if (data == nullptr) return false;
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n =
            sendto(socket_, data + sent, length - sent, MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        if (n < 1) return false;
        sent += size_t(n);
    }
    return true;
}

bool CUDPClient::WaitForData(int socket) {
    for (;;) {
        if (Stopping()) return false;
        pollfd descriptor{};
        descriptor.fd = socket;
        descriptor.events = POLLIN;
        const int ready = poll(&descriptor, 1, int(waitTimeoutMs_));
        if (ready > 0) {
            if (descriptor.revents & POLLNVAL) {
                Guarded([&] { user_->OnRTPClientClosed(this); });
                return false;
            }
            return !Stopping();
        }
        if (ready == 0) {
            if (!Stopping()) Guarded([&] { user_->OnRTPTimeout(this); });
            continue;
        }
        if (errno == EINTR) continue;
        Guarded([&] { user_->OnRTPClientClosed(this); });
        return false;
    }
}

namespace {

// An RTP packet (version 2) whose marker bit is clear: more of the same
// frame follows at once.
bool IsRtpMidFrame(const uint8_t* data, size_t length) {
    return length >= 12 && (data[0] >> 6) == 2 && (data[1] & 0x80) == 0;
}

}  // namespace

void CUDPClient::Run() {
    const int socket = threadSocket_;
    const bool coalesce = coalesceFrames_;
    // The receive buffer is logical: every slot can hold the largest
    // datagram, so a batch reads without truncation, and a datagram longer
    // than `limit` counts as lost and grows it, exactly as if it had been
    // read alone into a buffer of that size. Untouched slot pages are never
    // made resident.
    uint32_t limit = std::clamp<uint32_t>(receiveBufferSize_, 1, kMaxDatagram);
    // Not value-initialised: clearing would make every page resident.
    const std::unique_ptr<uint8_t[]> slots(new uint8_t[size_t(kBatch) * kMaxDatagram]);
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    sockaddr_in senders[kBatch];
    bool midFrame = false;
    uint32_t naps = 0;
    bool burst = false;
    const auto endBurst = [&] {
        if (!burst) return;
        burst = false;
        Guarded([&] { user_->OnRTPBurst(this, false); });
    };
    // Reads while datagrams are queued and waits only when none is.
    while (!Stopping()) {
        for (uint32_t i = 0; i < kBatch; ++i) {
            vectors[i].iov_base = slots.get() + size_t(i) * kMaxDatagram;
            vectors[i].iov_len = kMaxDatagram;
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        }
        const int count = recvmmsg(socket, messages, kBatch, MSG_DONTWAIT, nullptr);
        const int error = count < 0 ? errno : 0;
        if (error == EINTR) continue;
        if (count > 0) {
            naps = 0;
            if (!burst) {
                burst = true;
                Guarded([&] { user_->OnRTPBurst(this, true); });
            }
        }
        for (int i = 0; i < count; ++i) {
            const size_t n = messages[i].msg_len;
            if (n == 0) continue;
            if (n > limit || (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
                // Lost; make room for the next one of this size, a step at a time.
                limit = std::min<uint32_t>(limit + kBufferGrowth, kMaxDatagram);
                continue;
            }
            if (Stopping()) continue;
            const uint8_t* data = static_cast<const uint8_t*>(vectors[i].iov_base);
            midFrame = coalesce && IsRtpMidFrame(data, n);
            Guarded([&] { user_->OnRTPData(this, senders[i], data, n); });
        }
        // A full batch: more is likely queued, read on without a probe.
        if (count == int(kBatch)) continue;
        // A short batch emptied the socket (or nothing, or an error, was
        // there): the user hands on what it has before this thread sleeps.
        endBurst();
        // A camera sends a frame as one burst of datagrams, which a woken
        // reader outruns: a short nap lets the burst land instead of waking
        // once per datagram. Bounded, so a lost marker costs little.
        if (midFrame && naps < kMaxNaps && (error == 0 || error == EAGAIN)) {
            ++naps;
            SleepMicroseconds(kNapMicroseconds);
            continue;
        }
        // Nothing queued, or an error such as a refused earlier send: either
        // way wait, which also notices a socket that is gone.
        midFrame = false;
        if (!WaitForData(socket)) break;
    }
    endBurst();
}

}  // namespace talvik

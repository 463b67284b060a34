#include "rtsp/UDPClient.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "ThreadCancel.h"
#include "base/Debug.h"
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
    return socket_.IsOpen();
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
    if (!ParseDottedIPv4(group, &params.group)) {
        Close();
        return false;
    }
    // Linux delivers a group's datagrams only to sockets bound to the wildcard
    // (or the group) address, so the interface chooses the membership alone.
    params.bindAddress = kIPv4Any;
    return Start(user, params);
}

bool CUDPClient::OpenMulticastAnyInterface(IRTPClientUser* user, const char* group, uint16_t port) {
    return OpenMulticast(user, group, port, kIPv4Any);
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
    if (socket_.IsOpen()) return false;
    CUdpSocket::Options options;
    options.reuseAddress = params.group != kIPv4None;
    options.receiveBuffer = params.receiveBuffer > 0 ? uint32_t(params.receiveBuffer) : 65535;
    options.receiveTimeoutMs = params.receiveTimeoutMs;
    options.sendTimeoutMs = params.sendTimeoutMs;
    if (!socket_.Open(params.bindAddress, params.port, options)) {
        LogSocketError(params.port);
        return false;
    }
    // Port 0 asks the system for a free port; keep the one it chose.
    port_ = socket_.Port();
    // A frame's burst that outgrows the buffer while this thread is off the
    // processor is lost in part; a system limit below the ask is worth a line,
    // once per process: the limit is the system's, the same for every socket.
    static std::atomic<bool> limitTold{false};
    IDebugMessage* logger = Logger();
    if (logger != nullptr && socket_.ReceiveBuffer() < options.receiveBuffer &&
        !limitTold.exchange(true)) {
        logger->DebugMessage(kLevelWarning,
                             "%s: UDP port %u: the system grants a receive buffer of %u bytes "
                             "of the %u asked for",
                             "talvik::CUDPClient::Open", unsigned(port_),
                             unsigned(socket_.ReceiveBuffer()), unsigned(options.receiveBuffer));
    }
    socketTimeoutMs_ = std::max(params.receiveTimeoutMs, params.sendTimeoutMs);
    if (params.group != kIPv4None) {
        // On failure the bound socket stays for the Close that follows.
        if (!socket_.JoinGroup(params.group, params.interfaceAddress)) {
            LogSocketError(params.port);
            return false;
        }
        group_ = params.group;
        groupInterface_ = params.interfaceAddress;
    }
    return true;
}

void CUDPClient::LogSocketError(uint16_t port) {
    IDebugMessage* logger = Logger();
    // A taken port is routine while a channel searches for a free pair: the
    // search tells when it finds none.
    if (logger == nullptr || socket_.AddressInUse()) return;
    logger->DebugMessage(kLevelError, "%s: UDP port %u: %s", "talvik::CUDPClient::Open",
                         unsigned(port), socket_.LastError().c_str());
}

bool CUDPClient::Close() {
    stopping_ = true;
    StopEvent().Set();
    CUdpSocket closing;
    bool joined = false;
    {
        CLockGuard guard(lock_);
        const bool open = socket_.IsOpen();
        if (open) {
            if (group_ != kIPv4None) {
                // The interface it was joined on: Linux finds the membership by it.
                socket_.LeaveGroup(group_, groupInterface_);
                group_ = kIPv4None;
            }
            // Wakes a receive thread blocked in its wait at once.
            socket_.Shutdown();
            port_ = 0;
        }
        const uint32_t limit =
            std::max<uint32_t>(std::max<uint32_t>(waitTimeoutMs_, socketTimeoutMs_) + 1000, 5000);
        joined = JoinThread(limit);
        // Released only now: the receive thread read it until it was joined.
        if (open) closing = std::move(socket_);
    }
    if (closing.IsOpen()) {
        closing.Discard(100);
        closing.Close();
        IRTPClientUser* user = user_;
        if (user != nullptr) Guarded([&] { user->OnRTPClientClosed(this); });
    }
    return joined;
}

bool CUDPClient::SendTo(const IPv4Endpoint& destination, const uint8_t* data, size_t length) {
    // Held across the send so that Close cannot release the socket under it.
    CLockGuard guard(lock_);
    return socket_.SendTo(destination, data, length);
}

bool CUDPClient::WaitForData() {
    for (;;) {
        if (Stopping()) return false;
        switch (socket_.WaitReadable(waitTimeoutMs_)) {
            case CUdpSocket::WaitResult::kReadable:
                return !Stopping();
            case CUdpSocket::WaitResult::kTimeout:
                if (!Stopping()) Guarded([&] { user_->OnRTPTimeout(this); });
                continue;
            case CUdpSocket::WaitResult::kAgain:
                continue;
            case CUdpSocket::WaitResult::kShutDown:
                return false;
            case CUdpSocket::WaitResult::kLost:
                Guarded([&] { user_->OnRTPClientClosed(this); });
                return false;
        }
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
    const bool coalesce = coalesceFrames_;
    // The receive buffer is logical: a datagram longer than `limit` counts
    // as lost and grows it, exactly as if it had been read alone into a
    // buffer of that size. A user's slots hold one byte more, so that a
    // longer datagram shows as longer.
    uint32_t limit = std::clamp<uint32_t>(receiveBufferSize_, 1, kMaxDatagram);
    // For a user that offers no slots of its own (RTCP: a few datagrams a
    // second), one datagram at a time into a buffer made at first use,
    // large enough for any datagram, so that the limit can grow.
    std::unique_ptr<uint8_t[]> own;
    UdpDatagram datagrams[kBatch];
    UdpSlot userSlots[kBatch];
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
        CUdpSocket::ReceiveError error = CUdpSocket::ReceiveError::kNone;
        int offered = 0;
        Guarded([&] { offered = user_->GetReceiveSlots(this, userSlots, int(kBatch), limit + 1); });
        offered = std::clamp(offered, 0, int(kBatch));
        int count = 0;
        if (offered > 0) {
            count = socket_.ReceiveInto(userSlots, datagrams, offered, &error);
        } else {
            // Not value-initialised: clearing would make every page resident.
            if (!own) own.reset(new uint8_t[kMaxDatagram]);
            count = socket_.ReceiveBatch(own.get(), kMaxDatagram, datagrams, 1, &error);
        }
        if (error == CUdpSocket::ReceiveError::kInterrupted) continue;
        if (count > 0) {
            naps = 0;
            if (!burst) {
                burst = true;
                Guarded([&] { user_->OnRTPBurst(this, true); });
            }
        }
        for (int i = 0; i < count; ++i) {
            const UdpDatagram& d = datagrams[i];
            const size_t n = d.length;
            if (n == 0) continue;
            if (n > limit || d.truncated) {
                // Lost; make room for the next one of this size, a step at a time.
                limit = std::min<uint32_t>(limit + kBufferGrowth, kMaxDatagram);
                continue;
            }
            if (Stopping()) continue;
            if (offered > 0) {
                midFrame = coalesce && userSlots[i].headSize >= 2 && IsRtpMidFrame(d.data, n);
                Guarded([&] { user_->OnRTPSlotData(this, d.sender, i, n); });
                continue;
            }
            midFrame = coalesce && IsRtpMidFrame(d.data, n);
            Guarded([&] { user_->OnRTPData(this, d.sender, d.data, n); });
        }
        // A full batch: more is likely queued, read on without a wait.
        if (count == (offered > 0 ? offered : 1)) continue;
        // A short batch emptied the socket (or nothing, or an error, was
        // there): the user hands on what it has before this thread sleeps.
        endBurst();
        // A camera sends a frame as one burst of datagrams, which a woken
        // reader outruns: a short nap lets the burst land instead of waking
        // once per datagram. Bounded, so a lost marker costs little. Where
        // the system cannot nap that briefly the wait below takes its place.
        if (midFrame && naps < kMaxNaps && error != CUdpSocket::ReceiveError::kFailed &&
            NapMicroseconds(kNapMicroseconds)) {
            ++naps;
            continue;
        }
        // Nothing queued, or an error such as a refused earlier send: either
        // way wait, which also notices a socket that is gone.
        midFrame = false;
        if (!WaitForData()) break;
    }
    endBurst();
}

}  // namespace talvik

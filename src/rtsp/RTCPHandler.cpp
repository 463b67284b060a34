#include "rtsp/RTCPHandler.h"

#include <cstdlib>
#include <ctime>

#include "ThreadCancel.h"
#include "base/Time.h"
#include "platform/Random.h"

namespace talvik {

namespace {

uint32_t NewSsrc() {
    uint32_t value = 0;
    if (!SystemRandom(&value, sizeof value) || value == 0) {
        srand(unsigned(time(nullptr)));
        value = uint32_t(rand());
    }
    return value;
}

}  // namespace

CRTCPHandler::CRTCPHandler(IDebugMessage* logger) : udp_(logger) {}

CRTCPHandler::~CRTCPHandler() {
    Stop();
}

bool CRTCPHandler::Start(uint32_t cameraAddress, uint16_t port) {
    return StartWith(cameraAddress, false, nullptr, port);
}

bool CRTCPHandler::StartMulticast(uint32_t cameraAddress, const char* group, uint16_t port) {
    return StartWith(cameraAddress, true, group, port);
}

bool CRTCPHandler::StartWith(uint32_t cameraAddress, bool multicast, const char* group,
                             uint16_t port) {
    if (udp_.IsOpen() || cameraAddress == 0) return false;
    ResetState();
    // Known before the first datagram can arrive, so that nothing slips past the check.
    cameraAddress_ = cameraAddress;
    const uint32_t interval = reportIntervalMs_;
    {
        CLockGuard guard(sendLock_);
        running_ = true;
        nextReportMs_ = TickCountMs() + interval;
    }
    // The socket thread's first wait ends when the first report is due.
    udp_.SetWaitTimeout(interval);
    const bool opened =
        multicast ? udp_.OpenMulticastAnyInterface(this, group, port) : udp_.Open(this, port);
    if (opened) return true;
    CLockGuard guard(sendLock_);
    running_ = false;
    return false;
}

void CRTCPHandler::Stop() {
    {
        // The BYE goes out with the SSRC of the reports, and nothing after it.
        CLockGuard guard(sendLock_);
        if (running_) {
            SendBye();
            running_ = false;
            ResetState();
        }
    }
    srReceived_ = false;
    udp_.Close();
}

void CRTCPHandler::SignalReset() {
    CLockGuard guard(sendLock_);
    if (!running_) return;
    SendBye();
    ResetState();
    // The socket's current wait ends no later than this.
    nextReportMs_ = TickCountMs() + reportIntervalMs_;
}

void CRTCPHandler::ResetState() {
    const uint32_t ssrc = NewSsrc();
    CLockGuard guard(lock_);
    srReceived_ = false;
    ownSsrc_ = {uint8_t(ssrc >> 24), uint8_t(ssrc >> 16), uint8_t(ssrc >> 8), uint8_t(ssrc)};
    srArrivalMs_ = 0;
    versionBits_ = 0x81;
    srSender_ = IPv4Endpoint{};
    stats_.Reset();
    srSsrc_ = {};
    lsr_ = {};
}

rtcp::Word CRTCPHandler::GetOwnSsrc() {
    CLockGuard guard(lock_);
    return ownSsrc_;
}

void CRTCPHandler::Tick(bool answerSr) {
    CLockGuard guard(sendLock_);
    if (!running_) return;
    uint32_t now = TickCountMs();
    if (answerSr || int32_t(now - nextReportMs_) >= 0) {
        SendReceiverReport();
        now = TickCountMs();
        nextReportMs_ = now + reportIntervalMs_;
    }
    // A wait that ends early (a datagram, a coarse timer) only comes back here.
    const int32_t left = int32_t(nextReportMs_ - now);
    udp_.SetWaitTimeout(left > 0 ? uint32_t(left) : 1);
}

void CRTCPHandler::SendReceiverReport() {
    rtcp::ReceiverReportFields fields;
    {
        CLockGuard guard(lock_);
        fields.versionBits = versionBits_;
        fields.ownSsrc = ownSsrc_;
        if (srReceived_) {
            fields.sourceSsrc = srSsrc_;
        } else {
            // Until an SR names the source, the camera's address stands in for its SSRC.
            const uint32_t address = cameraAddress_;
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&address);
            fields.sourceSsrc = {bytes[3], bytes[2], bytes[1], bytes[0]};
        }
        fields.extendedHighestSeq = stats_.Started() ? stats_.ExtendedHighest() : 0;
        fields.lastSr = lsr_;
        fields.delaySinceLastSr = rtcp::DelaySinceLastSr(TickCountMs(), srArrivalMs_);
    }
    const auto report = rtcp::BuildReceiverReport(fields);
    Send(report.data(), report.size());
}

void CRTCPHandler::SendBye() {
    uint8_t versionBits;
    rtcp::Word ssrc;
    {
        CLockGuard guard(lock_);
        versionBits = versionBits_;
        ssrc = ownSsrc_;
    }
    const auto bye = rtcp::BuildBye(versionBits, ssrc);
    Send(bye.data(), bye.size());
}

void CRTCPHandler::Send(const uint8_t* data, size_t length) {
    if (length == 0) return;
    if (srReceived_) {
        IPv4Endpoint destination;
        {
            CLockGuard guard(lock_);
            destination = srSender_;
        }
        // Fall back to the configured port if the SR's sender cannot be reached.
        if (!udp_.SendTo(destination, data, length)) srReceived_ = false;
        return;
    }
    const uint16_t port = cameraRtcpPort_;
    if (port == 0) return;
    IPv4Endpoint destination;
    destination.address = cameraAddress_;
    destination.port = port;
    udp_.SendTo(destination, data, length);
}

void CRTCPHandler::OnRTPData(IRTPClient*, const IPv4Endpoint& sender, const uint8_t* data,
                             size_t length) {
    // Any datagram wakes the socket thread: a due report goes out even while
    // strangers keep its waits from running out.
    if (sender.address != cameraAddress_ || data == nullptr || length < 4) {
        Tick(false);
        return;
    }
    bool srTaken = false;
    rtcp::WalkCompound(data, length, [&](const rtcp::PacketView& packet) {
        rtcp::SenderReportInfo info;
        if (rtcp::ParseSenderReport(packet, info)) {
            TakeSenderReport(sender, info);
            srTaken = true;
        } else if (packet.type == rtcp::kBye && srReceived_) {
            srReceived_ = false;
            IRTCPHandlerUser* user = user_;
            if (user == nullptr) return;
            try {
                user->OnRTCPBye();
            } catch (...) {
                RethrowThreadCancellation();
            }
        }
    });
    // One answer for the whole compound, with the state it left.
    Tick(srTaken);
}

void CRTCPHandler::TakeSenderReport(const IPv4Endpoint& sender,
                                    const rtcp::SenderReportInfo& info) {
    CLockGuard guard(lock_);
    if (!srReceived_) {
        srSender_ = sender;
        srReceived_ = true;
    }
    versionBits_ = info.versionBits;
    srSsrc_ = info.ssrc;
    lsr_ = info.lastSr;
    srArrivalMs_ = TickCountMs();
}

void CRTCPHandler::OnRtpSequence(uint16_t seq) {
    CLockGuard guard(lock_);
    stats_.Update(seq);
}

}  // namespace talvik

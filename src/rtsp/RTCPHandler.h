// The receiving side of RTCP for one RTP stream: takes the camera's sender
// reports and BYEs on the RTCP port, keeps the receive statistics fed by the
// channel, and answers with receiver reports (every 10 s and after each SR)
// and a BYE when the session ends. It has no thread of its own: reports go
// out from the RTCP socket's receive thread, whose waits it cuts to end when
// the next report is due, and the reset and the final BYE from the caller's.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/Lock.h"
#include "rtsp/RTCPPackets.h"
#include "rtsp/RTPClient.h"
#include "rtsp/RTPSequenceStatistics.h"
#include "rtsp/UDPClient.h"

namespace talvik {

class IDebugMessage;

class IRTCPHandlerUser {
public:
    virtual ~IRTCPHandlerUser() = default;
    // The camera said BYE after an SR; on the UDP thread.
    virtual void OnRTCPBye() = 0;
};

class CRTCPHandler : public IRTPClientUser {
public:
    static constexpr uint32_t kReportIntervalMs = 10000;

    explicit CRTCPHandler(IDebugMessage* logger);
    ~CRTCPHandler() override;

    CRTCPHandler(const CRTCPHandler&) = delete;
    CRTCPHandler& operator=(const CRTCPHandler&) = delete;

    void SetUser(IRTCPHandlerUser* user) { user_ = user; }
    // cameraAddress: IPv4 in network order. Usually on the RTP port + 1.
    bool Start(uint32_t cameraAddress, uint16_t port);
    bool StartMulticast(uint32_t cameraAddress, const char* group, uint16_t port);
    void Stop();
    // Port of the RTCP socket, 0 when stopped.
    uint16_t GetPort() { return udp_.GetPort(); }
    // Where receiver reports go until an SR names its sender.
    void SetCameraRtcpPort(uint16_t port) { cameraRtcpPort_ = port; }
    // Sends a BYE and starts afresh with a new SSRC; nothing while stopped.
    void SignalReset();
    // Sequence number of every RTP packet the channel accepts.
    void OnRtpSequence(uint16_t seq);

    // For tests: the period of unsolicited receiver reports, read at the start
    // and after each report.
    void SetReportInterval(uint32_t ms) { reportIntervalMs_ = ms; }
    rtcp::Word GetOwnSsrc();
    bool SenderReportReceived() const { return srReceived_; }

    void OnRTPData(IRTPClient* client, const IPv4Endpoint& sender, const uint8_t* data,
                   size_t length) override;
    void OnRTPTimeout(IRTPClient*) override { Tick(false); }
    void OnRTPClientClosed(IRTPClient*) override {}

private:
    bool StartWith(uint32_t cameraAddress, bool multicast, const char* group, uint16_t port);
    void ResetState();
    // On the socket thread after each wake-up: a receiver report when asked
    // for or due, and the socket's next wait cut to end when the next is.
    void Tick(bool answerSr);
    void SendReceiverReport();
    void SendBye();
    void Send(const uint8_t* data, size_t length);
    void TakeSenderReport(const IPv4Endpoint& sender, const rtcp::SenderReportInfo& info);

    CUDPClient udp_;
    std::atomic<uint32_t> cameraAddress_{0};
    std::atomic<uint16_t> cameraRtcpPort_{0};
    std::atomic<IRTCPHandlerUser*> user_{nullptr};
    std::atomic<bool> srReceived_{false};
    std::atomic<uint32_t> reportIntervalMs_{kReportIntervalMs};

    // Taken before lock_. Orders what is sent (reports, BYEs) and the resets,
    // and ends sending before Stop closes the socket: the close waits for the
    // socket thread while holding the socket's lock, which a send needs.
    CLock sendLock_;
    bool running_ = false;       // under sendLock_: Start has opened, Stop not yet
    uint32_t nextReportMs_ = 0;  // under sendLock_: TickCountMs of the next report

    CLock lock_;  // guards the fields below
    IPv4Endpoint srSender_;
    uint32_t srArrivalMs_ = 0;
    uint8_t versionBits_ = 0x81;
    CRTPSequenceStatistics stats_;
    rtcp::Word ownSsrc_{};
    rtcp::Word srSsrc_{};
    rtcp::Word lsr_{};
};

}  // namespace talvik

// One UDP socket with a receive thread that hands every datagram to its user.
// Used for RTP by the RTP receiver and for RTCP by the RTCP handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/Lock.h"
#include "base/Thread.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPClient.h"

namespace talvik {

class IDebugMessage;

class CUDPClient : public CBaseThread, public IRTPClient {
public:
    static constexpr uint32_t kDefaultReceiveBufferSize = 8192;
    static constexpr uint32_t kMaxDatagram = 65535;
    static constexpr uint32_t kBufferGrowth = 1024;
    static constexpr uint32_t kDefaultWaitTimeoutMs = 2000;
    static constexpr uint32_t kDefaultSocketReceiveBuffer = 65535;
    // Datagrams taken from the socket per system call.
    static constexpr uint32_t kBatch = CUdpSocket::kMaxBatch;

    explicit CUDPClient(IDebugMessage* logger);
    ~CUDPClient() override;

    bool OpenMulticast(IRTPClientUser* user, const char* group, uint16_t port,
                       uint32_t localInterface) override;
    bool Open(IRTPClientUser* user, uint16_t port) override;
    bool Close() override;
    void SetReceiveBufferSize(uint32_t bytes) override { receiveBufferSize_ = bytes; }
    void SetWaitTimeout(uint32_t ms) override;
    uint16_t GetPort() override;

    // Coalescing of RTP frame bursts, read once by the next open: after a
    // packet without the marker bit, an empty socket is given up to kMaxNaps
    // naps of kNapMicroseconds before the thread waits for the next datagram,
    // where the system can nap that briefly (not Windows: see NapMicroseconds).
    static constexpr uint32_t kMaxNaps = 3;
    static constexpr uint32_t kNapMicroseconds = 200;
    void SetCoalesceFrames(bool on) { coalesceFrames_ = on; }

    // Kernel receive buffer (SO_RCVBUF) of the next open; 0 restores 65535.
    void SetSocketReceiveBuffer(uint32_t bytes) { socketReceiveBuffer_ = bytes; }

    bool OpenMulticastAnyInterface(IRTPClientUser* user, const char* group, uint16_t port);
    // Sends all of data (one datagram on UDP); true for length 0.
    bool SendTo(const IPv4Endpoint& destination, const uint8_t* data, size_t length);
    bool IsOpen();

protected:
    void Run() override;

private:
    struct OpenParams {
        uint32_t group = kIPv4None;  // network order; none for unicast
        uint32_t bindAddress = kIPv4Any;
        uint32_t interfaceAddress = kIPv4Any;  // for the group membership
        uint16_t port = 0;
        int receiveBuffer = 65535;
        uint32_t receiveTimeoutMs = 5000;
        uint32_t sendTimeoutMs = 1000;
    };

    bool Start(IRTPClientUser* user, const OpenParams& params);
    bool Bind(const OpenParams& params);
    // One line: the port asked for and why the socket could not take it;
    // none for a port in use.
    void LogSocketError(uint16_t port);
    // True: a datagram is ready. False: stop, or the socket is gone.
    bool WaitForData();
    // Mirrors the stop event for the per-datagram checks, which would
    // otherwise cost a wait call each.
    bool Stopping() const { return stopping_.load(std::memory_order_acquire); }

    CLock lock_;
    IRTPClientUser* user_ = nullptr;
    // Opened and closed under lock_; between them the receive thread uses it
    // too, and Close only shuts it down until that thread has been joined.
    CUdpSocket socket_;
    uint16_t port_ = 0;
    std::atomic<uint32_t> receiveBufferSize_{kDefaultReceiveBufferSize};
    std::atomic<uint32_t> waitTimeoutMs_{kDefaultWaitTimeoutMs};
    std::atomic<bool> stopping_{false};
    std::atomic<uint32_t> socketReceiveBuffer_{kDefaultSocketReceiveBuffer};
    std::atomic<bool> coalesceFrames_{false};
    uint32_t group_ = kIPv4None;
    uint32_t groupInterface_ = kIPv4Any;
    uint32_t socketTimeoutMs_ = 0;
};

}  // namespace talvik

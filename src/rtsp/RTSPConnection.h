// The byte stream under an RTSP session. The client talks to this interface so
// that it can be driven by a scripted connection in tests; CTCPRTSPConnection
// is the real one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Event.h"
#include "platform/TcpStream.h"

namespace talvik {

struct RTSPConnectionParams {
    std::string host;
    uint16_t port = 554;
    uint32_t connectTimeoutMs = 5000;
    uint32_t receiveTimeoutMs = 5000;
    uint32_t sendTimeoutMs = 1000;
    uint32_t receiveBufferSize = 65536;
};

class IRTSPConnection {
public:
    virtual ~IRTSPConnection() = default;
    // Opens the connection; false when the host does not resolve or the
    // connect does not complete within the connect time-out.
    virtual bool Connect(const RTSPConnectionParams& params) = 0;
    virtual bool IsOpen() const = 0;
    // Bytes sent, or -1 when nothing could be sent within the send time-out.
    virtual int Send(const char* data, size_t size) = 0;
    // Bytes received (> 0), 0 when the peer closed, -1 on error or when the
    // receive time-out passed without data.
    virtual int Receive(uint8_t* buffer, size_t size) = 0;
    // Callable from any thread: a blocked Send or Receive, and the name
    // look-up of a Connect, return at once, and later waits last at most
    // 100 ms, until the next Connect.
    virtual void Interrupt() = 0;
    // Not concurrently with Send or Receive.
    virtual void Close() = 0;
};

class CTCPRTSPConnection : public IRTSPConnection {
public:
    CTCPRTSPConnection();
    ~CTCPRTSPConnection() override;
    CTCPRTSPConnection(const CTCPRTSPConnection&) = delete;
    CTCPRTSPConnection& operator=(const CTCPRTSPConnection&) = delete;

    bool Connect(const RTSPConnectionParams& params) override;
    bool IsOpen() const override { return stream_.IsOpen(); }
    int Send(const char* data, size_t size) override;
    int Receive(uint8_t* buffer, size_t size) override;
    void Interrupt() override;
    void Close() override;

private:
    // Waits for the socket to be writable or readable; true when ready. Cut
    // short by Interrupt.
    bool WaitReady(bool writable, uint32_t timeoutMs);

    CTcpStream stream_;  // its wake-up is signalled by Interrupt
    std::atomic<bool> interrupted_{false};
    CManualEvent lookupStop_;  // set by Interrupt: the name look-up gives up
    uint32_t receiveTimeoutMs_ = 5000;
    uint32_t sendTimeoutMs_ = 1000;
};

}  // namespace talvik

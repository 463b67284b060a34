#include "rtsp/RTSPConnection.h"

#include <algorithm>
#include <chrono>

#include "base/Text.h"

namespace talvik {

namespace {

// Once interrupted, a wait lasts no longer than this (time for a TEARDOWN answer).
constexpr uint32_t kInterruptedWaitMs = 100;
constexpr uint32_t kConnectRoundMs = 100;

}  // namespace

CTCPRTSPConnection::CTCPRTSPConnection() = default;

CTCPRTSPConnection::~CTCPRTSPConnection() {
    Close();
}

bool CTCPRTSPConnection::Connect(const RTSPConnectionParams& params) {
    Close();
    interrupted_ = false;
    lookupStop_.Reset();
    stream_.DrainWake();
    receiveTimeoutMs_ = params.receiveTimeoutMs;
    sendTimeoutMs_ = params.sendTimeoutMs;

    const uint32_t address = ResolveHostAddress(params.host, &lookupStop_, params.connectTimeoutMs);
    if (address == 0) return false;

    switch (stream_.StartConnect(address, params.port, params.receiveBufferSize)) {
        case CTcpStream::ConnectResult::kConnected:
            return true;
        case CTcpStream::ConnectResult::kFailed:
            return false;
        case CTcpStream::ConnectResult::kPending:
            break;
    }
    // Wait in 100 ms rounds so that the limit reads as a count of rounds.
    const uint32_t rounds = params.connectTimeoutMs / kConnectRoundMs;
    for (uint32_t round = 0; round < rounds && !interrupted_; ++round) {
        const CTcpStream::WaitResult ready = stream_.Wait(true, kConnectRoundMs, false);
        if (ready == CTcpStream::WaitResult::kAgain) continue;
        if (ready == CTcpStream::WaitResult::kFailed) break;
        if (ready == CTcpStream::WaitResult::kReady) {
            if (stream_.ConnectSucceeded()) return true;
            break;
        }
    }
    Close();
    return false;
}

bool CTCPRTSPConnection::WaitReady(bool writable, uint32_t timeoutMs) {
    if (!stream_.IsOpen()) return false;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const bool interrupted = interrupted_;
        const uint32_t limit = interrupted ? std::min(timeoutMs, kInterruptedWaitMs) : timeoutMs;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        if (elapsed >= static_cast<int64_t>(limit)) return false;
        // The wake-up stays signalled after an interrupt: watch it only until then.
        switch (stream_.Wait(writable, limit - static_cast<uint32_t>(elapsed), !interrupted)) {
            case CTcpStream::WaitResult::kReady:
                return true;
            case CTcpStream::WaitResult::kTimeout:
            case CTcpStream::WaitResult::kFailed:
                return false;
            case CTcpStream::WaitResult::kAgain:
            case CTcpStream::WaitResult::kWoken:
                // Woken by Interrupt: the next round applies the short limit.
                break;
        }
    }
}

int CTCPRTSPConnection::Send(const char* data, size_t size) {
    if (!stream_.IsOpen() || data == nullptr) return -1;
    size_t sent = 0;
    while (sent < size) {
        if (!WaitReady(true, sendTimeoutMs_)) break;
        const long n = stream_.SendSome(data + sent, size - sent);
        if (n == CTcpStream::kWouldBlock) continue;
        if (n < 0) break;
        sent += static_cast<size_t>(n);
    }
    return sent == 0 && size != 0 ? -1 : static_cast<int>(sent);
}

int CTCPRTSPConnection::Receive(uint8_t* buffer, size_t size) {
    if (!stream_.IsOpen() || buffer == nullptr || size == 0) return -1;
    // Bytes already queued are taken at once; only an empty socket waits.
    // An interrupt still ends the stream: the reader checks its stop flag
    // after every read, and a drained socket waits no longer than the
    // interrupted limit.
    for (;;) {
        const long n = stream_.ReceiveSome(buffer, size);
        if (n >= 0) return static_cast<int>(n);
        if (n != CTcpStream::kWouldBlock) return -1;
        if (!WaitReady(false, receiveTimeoutMs_)) return -1;
    }
}

void CTCPRTSPConnection::Interrupt() {
    interrupted_ = true;
    lookupStop_.Set();
    stream_.Wake();
}

void CTCPRTSPConnection::Close() {
    stream_.Close();
}

}  // namespace talvik

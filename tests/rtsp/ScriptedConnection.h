// An RTSP connection that answers each request with the next scripted reply,
// for driving CBaseRTSPClient without a network. "{cseq}" in a reply becomes
// the CSeq of the request it answers. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "rtsp/RTSPConnection.h"

namespace talvik_test {

class ScriptedConnection : public talvik::IRTSPConnection {
public:
    // Replies in request order; a request beyond the script gets no answer.
    void Script(std::vector<std::string> replies);
    // Bytes that arrive without a request (interleaved frames).
    void Push(const std::string& bytes);
    // The camera closes the connection once the pending bytes are read.
    void ClosePeer();
    // Waits until at least `count` requests were sent; false after `limitMs`.
    bool WaitForRequests(size_t count, uint32_t limitMs = 10000);
    std::vector<std::string> Requests() const;

    bool Connect(const talvik::RTSPConnectionParams& params) override;
    bool IsOpen() const override;
    int Send(const char* data, size_t size) override;
    int Receive(uint8_t* buffer, size_t size) override;
    void Interrupt() override;
    void Close() override;

    bool connectResult = true;
    size_t maxChunk = 1 << 20;  // largest piece one Receive hands out
    talvik::RTSPConnectionParams params;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> replies_;
    std::vector<std::string> requests_;
    std::string inbound_;
    bool open_ = false;
    bool peerClosed_ = false;
    bool interrupted_ = false;
};

}  // namespace talvik_test

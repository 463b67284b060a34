// One RTSP session with a camera over one connection, on a thread of its own:
// DESCRIBE, SETUP, the owner's PLAY and PAUSE requests, TEARDOWN at the end.
// In the interleaved mode the client also reads the media stream from the
// RTSP connection after PLAY and hands the RTP packets to its user.
//
// Use: fill RTSPClientSettings, Start with the transport mode; the session
// record arrives in IRTSPClientUser::OnRTSPSessionReady (read it there, on the
// client thread), PLAY follows unless the client was paused. RequestPause and
// RequestPlay ask for PAUSE and PLAY; Stop sends TEARDOWN and ends the thread
// within (max(receive, send time-out) * 2 + 1000) ms, normally at once. A
// thread still running then is left to end by itself, keeping the
// connection; Start refuses a new session until it has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Debug.h"
#include "base/Event.h"
#include "base/Thread.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPConnection.h"
#include "rtsp/RTSPResponseParser.h"

namespace talvik {

class IDebugMessage;

struct RTSPClientSettings {
    uint16_t serverPort = 554;
    uint16_t clientRtpPort = 0;
    uint16_t clientRtcpPort = 0;
    std::string host;
    std::string user;
    std::string password;
    uint32_t connectTimeoutMs = 5000;
    uint32_t receiveTimeoutMs = 5000;
    // Interleaved media shares the connection: 64 KiB would cap a heavy
    // stream's window and make the camera send each frame in pieces.
    uint32_t receiveBufferSize = 1024 * 1024;
    uint32_t sendTimeoutMs = 1000;
    uint32_t defaultSessionTimeout = 60;  // seconds, when the camera gives none
    AuthScheme authScheme = AuthScheme::None;
    std::string path;          // presentation path while no Content-Base is known
    uint32_t mediaSelect = 1;  // 1 video, 2 audio, 3 data
    std::string range;         // empty: "npt=0.000-"
    uint32_t blockSize = 0;    // Blocksize header only above 100
    // Keep the session alive at half its time-out (at least every second,
    // at most every 30 s): GET_PARAMETER when the camera lists it in the
    // Public header of its answer to the OPTIONS that opens the connection,
    // OPTIONS otherwise.
    bool sendKeepAlive = false;
};

// Transport modes of Start.
constexpr uint32_t kRTSPTransportUdp = 0;
constexpr uint32_t kRTSPTransportTcp = 1;  // RTP over TCP with client ports
constexpr uint32_t kRTSPTransportInterleaved = 2;

class CBaseRTSPClient : public CBaseThread {
public:
    // `connection` is the byte stream to the camera; a TCP connection when null.
    explicit CBaseRTSPClient(IDebugMessage* logger,
                             std::unique_ptr<IRTSPConnection> connection = nullptr);
    ~CBaseRTSPClient() override;
    CBaseRTSPClient(const CBaseRTSPClient&) = delete;
    CBaseRTSPClient& operator=(const CBaseRTSPClient&) = delete;

    // Connects and starts the session thread. False when the camera cannot be
    // reached; the client is then stopped.
    bool Start(const RTSPClientSettings& settings, IRTSPClientUser* user, uint32_t transportMode);
    bool StartMulticast(const RTSPClientSettings& settings, IRTSPClientUser* user);
    // Ends the session (TEARDOWN when possible) and closes the connection.
    void Stop();
    // Re-sends the last TEARDOWN built, for a session that may still live.
    bool SendPendingTeardown();
    bool IsConnected() const;
    // Time between keep-alives: half the session time-out, within 1 to 30 s.
    uint32_t GetKeepAliveIntervalMs() const;

    // Ask the session thread for PAUSE or PLAY.
    void RequestPause() { pauseEvent_.Set(); }
    void RequestPlay() { playEvent_.Set(); }

    // The session record; only while the client thread is not running (or from
    // the user callbacks, which run on it).
    const RTSPSessionInfo& GetSessionInfo() const { return parser_.GetSessionInfo(); }
    bool IsPaused() const { return paused_; }
    bool GetLastRequestOk() const { return lastRequestOk_; }

protected:
    void Run() override;
    virtual void BuildRequest(std::string& text, RTSPMethod method);
    virtual bool ReceiveInterleaved();
    void ReportLostPlace(uint32_t before, uint32_t count);

private:
    bool Connect();
    bool Request(RTSPMethod method);
    bool SendMethod(RTSPMethod method);
    bool SendAndReceive(RTSPMethod method, const std::string& text);
    std::string ReadAnswer();
    // Logs a refusal once per run of identical ones; a success of the refused
    // method ends the run.
    void NoteOutcome(RTSPMethod method, bool ok);
    bool HasContentBase() const;
    std::string PresentationUrl() const;
    std::string SetupUrl(const std::string& presentationUrl) const;
    std::string TransportLine() const;
    std::vector<uint8_t> SessionPayloadTypes() const;
    std::string AuthorizationLine(RTSPMethod method, const std::string& url) const;
    const RTSPMediaInfo& SelectedMedia() const;
    uint64_t SessionTimeoutMs() const;
    uint32_t KeepAliveWaitMs() const;
    bool KeepAliveDue();
    void ChooseKeepAliveMethod();
    void SendKeepAlive();
    void SendWithoutAnswer(RTSPMethod method);
    bool NotifySessionReady();
    void NotifyStopped();

    IDebugMessage* logger_;  // not owned; names the thread
    CRTSPResponseParser parser_;
    std::unique_ptr<IRTSPConnection> connection_;
    std::atomic<uint64_t> keepAliveMark_{0};
    IRTSPClientUser* user_ = nullptr;
    std::atomic<bool> lastRequestOk_{false};
    std::string pendingTeardown_;
    RTSPClientSettings settings_;
    uint32_t transportMode_ = kRTSPTransportUdp;
    CEvent pauseEvent_;
    CEvent playEvent_;
    std::atomic<bool> paused_{false};
    bool multicast_ = false;
    // Client thread only: the keep-alive request, whether the other one was
    // tried after a refusal, and whether keep-alives still go out.
    RTSPMethod keepAliveMethod_ = RTSPMethod::OPTIONS;
    bool keepAliveSwitched_ = false;
    bool keepAliveOn_ = true;
    CLoggerInstance refusalLog_;
    std::string lastReason_;  // reason phrase of the last answer, cleaned
    bool refusalRun_ = false;
    RTSPMethod refusedMethod_ = RTSPMethod::DESCRIBE;
};

// Longest answer header block read before giving up on the answer.
constexpr size_t kRTSPMaxHeaderBytes = 8192;
// Longest answer body read (a description is a few kilobytes).
constexpr size_t kRTSPMaxBodyBytes = 65536;

}  // namespace talvik

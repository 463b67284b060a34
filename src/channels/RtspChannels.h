// Video that arrives as RTP, requested over RTSP.
//
// CBaseRTPChannel runs the capture loop (connect, watch the frames, declare the
// signal lost after a silence, reconnect, restart on new parameters), owns the
// RTP receiver and RTCP handler with their local UDP ports, and hands the
// parser's frames to the host. CBaseRTSPChannel adds the RTSP session, the
// media parser made from the session description and pause/resume.
// CH264ChannelRTSP prepares the camera over HTTP and builds the stream path.
//
// Threads: the loop runs on the capture thread; packets arrive on the
// receiver's queue thread (UDP) or the RTSP client thread (interleaved), and
// the parser's frames on that same thread. The parser pointer is guarded by
// its own lock, because a new session replaces it while the old port may
// still deliver; the feeding thread runs the parser on its own reference,
// with no lock held while the host takes the frame.
//
// Ownership: the video capture object owns the channel; the capture, RTSP
// client, delivery and RTCP threads that outlive its final stop (Retire) hold
// shares of it, and the last to let go deletes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "base/Debug.h"
#include "base/Event.h"
#include "base/Lock.h"
#include "base/Settings.h"
#include "base/SmartPtr.h"
#include "channels/BaseCameraChannel.h"
#include "channels/CameraPreparation.h"
#include "http/HttpSender.h"
#include "http/StreamUrl.h"
#include "rtsp/PortSearch.h"
#include "rtsp/RTCPHandler.h"
#include "rtsp/RTPMediaParser.h"
#include "rtsp/RTPReceiver.h"
#include "rtsp/RTPSourceLock.h"
#include "rtsp/RTSPClient.h"
#include "rtsp/TimeStampConverter.h"

namespace talvik {

class CBaseRTPChannel : public CBaseCameraChannel,
                        public IRTPReceiverUser,
                        public IRTCPHandlerUser,
                        public IMediaParserClient {
public:
    // A port on which packets already arrive belongs to someone else.
    static constexpr uint32_t kQuietPortWaitMs = 2000;
    static constexpr uint32_t kPollMs = 1000;

    CBaseRTPChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
    ~CBaseRTPChannel() override;

    void Run() override;

    void OnRTPPacket(const IPv4Endpoint& sender, const CRTPPacket& packet) override;
    void OnRTCPBye() override;

    bool OnMediaFrame(IHostFrame* frame) override;
    std::pair<uint32_t, uint32_t> GetDefaultResolution() override;
    std::string GetStreamName() override;
    void ConvertTimestamp(uint32_t rtpTimestamp, HostSystemTime* out) override;

    // For tests: the local RTP port of the first and second session, 0 when closed.
    uint16_t GetRtpPort() { return receiver_.GetPort(); }
    uint16_t GetSecondRtpPort() { return receiver2_.GetPort(); }

protected:
    virtual void PrepareStream(const DeviceSettings* settings);
    virtual bool OpenSession(bool reconnect);
    virtual void CloseSession(bool keepPorts);
    virtual bool IsAlive();
    virtual bool PrepareCamera() = 0;
    // The delivery threads of both sessions and the RTCP handlers.
    void StopWorkers(const std::shared_ptr<ICameraChannel>& self) override;

    // Hands a packet to the current parser (if any), on a reference taken
    // under the parser lock; the host is called with no lock held.
    void FeedParser(const CRTPPacket& packet);
    // Replaces the parser (null releases it).
    void SetParser(CRTPMediaParser* parser);
    // The parser resyncs before the next packet it is fed.
    void ResyncParser();
    // Whether a packet comes from the stream's synchronisation source; logs
    // the start and end of a run of dropped packets and a change of source.
    bool FromStreamSource(const CRTPPacket& packet);
    // A new session: locked to the SSRC its SETUP answer gave (if any), or
    // else to the first packet's.
    void ResetStreamSource(const RTSPSessionInfo* info);

    const DeviceSettings& Settings() const { return deviceSettings_; }
    uint32_t CameraAddress() const { return cameraAddress_; }

    // Host parameter 5 reading as 0 asks for a second RTP session: its own
    // receiver and RTCP handler on a port pair of their own.
    bool SingleSession() const { return singleSession_; }
    void SignalRtcpReset();

    CRTPReceiver receiver_;
    CRTCPHandler rtcp_;
    CRTPReceiver receiver2_;
    CRTCPHandler rtcp2_;
    CEvent packetArrived_{true};
    // Mirrors packetArrived_ so that a running stream does not lock the event
    // for every packet.
    std::atomic<bool> packetSeen_{false};
    void NotePacketArrived() {
        if (!packetSeen_.exchange(true, std::memory_order_acq_rel)) packetArrived_.Set();
    }
    CEvent frameDelivered_{true};
    CEvent byeEvent_{true};

private:
    // The second session's packets: they show that its port is taken and
    // feed its own RTCP statistics, never the video parser of the first.
    class SecondSessionUser : public IRTPReceiverUser {
    public:
        explicit SecondSessionUser(CBaseRTPChannel& owner) : owner_(owner) {}
        void OnRTPPacket(const IPv4Endpoint& sender, const CRTPPacket& packet) override;
        CEvent arrived{true};

    private:
        CBaseRTPChannel& owner_;
    };

    bool Connect(bool reconnect);
    // `seen` mirrors `arrived` where the packet path keeps such a flag.
    bool OpenPorts(CRTPReceiver& receiver, CRTCPHandler& rtcp, CEvent& arrived,
                   std::atomic<bool>* seen);
    bool OpenSecondPorts();
    // Index of the event that ended the wait (0 stop, 1 frame), -1 on time-out.
    int WaitForFirstFrame(uint32_t quietWait, bool* told);

    std::atomic<uint32_t> cameraAddress_{0};  // network order, of the last connect
    bool singleSession_ = true;
    SecondSessionUser secondUser_{*this};
    DeviceSettings deviceSettings_;
    std::atomic<uint32_t> defaultWidth_{0};
    std::atomic<uint32_t> defaultHeight_{0};
    std::atomic<uint32_t> streamKind_{0};
    CLock parserLock_;  // guards parser_ only, never held while the parser runs
    TSmartPtr<CRTPMediaParser> parser_;
    // Set by the capture thread, applied by the feeding thread before its next packet.
    std::atomic<bool> resyncRequested_{false};
    CLock timeLock_;  // guards timeConverter_
    CTimeStampConverter timeConverter_;
    // Packets of one session come on one thread, but a new session (another
    // thread) resets the lock while the kept UDP port may still deliver.
    CLock sourceLock_;  // guards source_ only, never held while logging
    CRTPSourceLock source_;
    CLoggerInstance sourceLog_;
};

class CBaseRTSPChannel : public CBaseRTPChannel, public IRTSPClientUser, public CLoggerInstance {
public:
    CBaseRTSPChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
    ~CBaseRTSPChannel() override;

    bool Pause() override;
    bool Resume() override;

    bool OnRTSPSessionReady(RTSPSessionInfo* info) override;
    void OnInterleavedPacket(CRTPPacket* packet) override;
    void OnRTSPClientStopped() override;

protected:
    bool OpenSession(bool reconnect) override;
    void CloseSession(bool keepPorts) override;
    bool IsAlive() override;
    // The RTSP client thread, then the RTP channel's.
    void StopWorkers(const std::shared_ptr<ICameraChannel>& self) override;
    virtual void FillRTSPSettings(RTSPClientSettings& settings) = 0;

    CBaseRTSPClient client_;
    CManualEvent clientStopped_;
};

class CH264ChannelRTSP : public CBaseRTSPChannel {
public:
    CH264ChannelRTSP(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
    ~CH264ChannelRTSP() override;

    void OnStopping() override;

protected:
    void PrepareStream(const DeviceSettings* settings) override;
    bool PrepareCamera() override;
    void FillRTSPSettings(RTSPClientSettings& settings) override;

private:
    StreamUrlConfig urlConfig_;
    Web::CHttpSender sender_;
    CHttpCameraRequest camera_{sender_};
};

}  // namespace talvik

#include "channels/RtspChannels.h"

#include <algorithm>

#include "base/FrameContract.h"
#include "base/Text.h"

namespace talvik {

namespace {

// Leading decimal digits of a text (0 when there are none), capped at max.
uint32_t LeadingNumber(const std::string& text, uint32_t max) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<uint64_t>(value * 10 + uint64_t(c - '0'), uint64_t(max) + 1);
    }
    return value > max ? 0 : uint32_t(value);
}

// Host parameter 5: one RTP session unless its leading number reads as 0
// (a text without digits reads as 0); an empty parameter keeps one session.
bool SingleSessionParameter(const std::string& text) {
    if (text.empty()) return true;
    const std::string number = text.substr(0, text.find_first_not_of("0123456789"));
    return number.find_first_not_of('0') != std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// CBaseRTPChannel

CBaseRTPChannel::CBaseRTPChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink)
    : CBaseCameraChannel(videoInput, driver, sink),
      receiver_(driver),
      rtcp_(driver),
      receiver2_(driver),
      rtcp2_(driver),
      sourceLog_(driver) {
    if (driver != nullptr) singleSession_ = SingleSessionParameter(driver->GetParameterString(5));
    receiver_.SetUser(this);
    rtcp_.SetUser(this);
    receiver2_.SetUser(&secondUser_);
    rtcp2_.SetUser(this);
}

CBaseRTPChannel::~CBaseRTPChannel() {
    Stop();
    // No share to hand out here: a thread left running would return into
    // members about to go. Retire ends them while the channel still lives.
    StopWorkers(nullptr);
}

void CBaseRTPChannel::StopWorkers(const std::shared_ptr<ICameraChannel>& self) {
    // A reconnect keeps the delivery threads; only a final stop ends them.
    for (CRTPReceiver* receiver : {&receiver_, &receiver2_}) {
        receiver->Close();
        receiver->StopThread(2000);
        receiver->KeepUntilThreadEnds(self);
    }
    // Their socket threads are joined: nothing of theirs outlives the stop.
    for (CRTCPHandler* rtcp : {&rtcp_, &rtcp2_})
        rtcp->Stop();
}

void CBaseRTPChannel::SignalRtcpReset() {
    rtcp_.SignalReset();
    if (!singleSession_) rtcp2_.SignalReset();
}

void CBaseRTPChannel::PrepareStream(const DeviceSettings*) {}

void CBaseRTPChannel::Run() {
    IDriver* driver = Driver();
    const DEVICE_INFO& device = *driver->GetDeviceInfo();
    deviceSettings_ =
        LoadDeviceSettings(device, driver->GetHostDirectory(), driver->GetDriverName());
    streamKind_ = Params().kind;
    defaultWidth_ = Params().width;
    defaultHeight_ = Params().height;
    PrepareStream(&deviceSettings_);

    LastFrameTime().SetNow();
    const uint32_t quietWait = std::max(device.timeoutMs, device.dataTimeoutMs / 2);
    bool reconnect = false;
    for (;;) {
        uint32_t poll = kPollMs;
        bool toldThisCycle = false;
        if (GetStatus() != kChannelStreaming || reconnect) {
            if (Connect(reconnect)) {
                if (IsPaused()) {
                    SetStatus(kChannelStreaming);
                    SetCameraState(true);
                }
                const int woken = WaitForFirstFrame(quietWait, &toldThisCycle);
                if (woken < 0) {
                    poll = 10;
                } else if (woken == 1) {
                    SetStatus(kChannelStreaming);
                }
            }
            reconnect = false;
        }

        CEvent* events[] = {&StopEvent(), &ParamsChangedEvent()};
        const int woken = WaitAny(events, 2, poll);
        if (woken == 0) {
            SignalRtcpReset();
            CloseSession(false);
            if (!IsPaused()) SetCameraState(false);
            return;
        }
        if (woken == 1) {
            if (TakePendingParams() == 0) continue;
            defaultWidth_ = Params().width;
            defaultHeight_ = Params().height;
            ResyncParser();
            reconnect = true;
            continue;
        }
        if (IsAlive() || IsPaused()) continue;
        SetStatus(kChannelSignalLost);
        if (!toldThisCycle && LastFrameTime().ElapsedMs() >= device.dataTimeoutMs) {
            SendSignalLost();
            SetCameraState(false);
        }
    }
}

// While the signal is lost, the data time-out may run out during the wait
// for the new session's first frame (the port search and the session set-up
// come first): the host is told when it runs out, not only once the wait
// has ended, and not a second time for the same attempt.
int CBaseRTPChannel::WaitForFirstFrame(uint32_t quietWait, bool* told) {
    CEvent* events[] = {&StopEvent(), &frameDelivered_};
    const uint32_t limit = Driver()->GetDeviceInfo()->dataTimeoutMs;
    const uint32_t elapsed = LastFrameTime().ElapsedMs();
    if (GetStatus() != kChannelSignalLost || IsPaused() || elapsed >= limit ||
        limit - elapsed >= quietWait) {
        return WaitAny(events, 2, quietWait);
    }
    const int woken = WaitAny(events, 2, limit - elapsed);
    if (woken >= 0) return woken;
    SendSignalLost();
    SetCameraState(false);
    *told = true;
    return WaitAny(events, 2, quietWait - (limit - elapsed));
}

bool CBaseRTPChannel::Connect(bool reconnect) {
    SignalRtcpReset();
    // Resolved for every attempt: a name that failed may resolve by now, or
    // point elsewhere (ports kept for the old address would filter it out).
    const DEVICE_INFO* device = Driver()->GetDeviceInfo();
    const uint32_t address =
        device != nullptr ? ResolveHostAddress(device->address, &StopEvent()) : 0;
    const bool moved = cameraAddress_.exchange(address) != address;
    const bool keep = reconnect && !moved;
    CloseSession(keep);
    {
        CLockGuard guard(timeLock_);
        timeConverter_.Reset();
    }
    ResetStreamSource(nullptr);
    // An address that does not resolve is a failed connect, as a silent camera is.
    if (address != 0 && (keep || PrepareCamera())) {
        byeEvent_.Reset();
        frameDelivered_.Reset();
        if (OpenSession(keep) && (keep || singleSession_ || OpenSecondPorts())) {
            return true;
        }
    }
    SignalRtcpReset();
    CloseSession(false);
    return false;
}

bool CBaseRTPChannel::OpenSession(bool reconnect) {
    if (deviceSettings_.RTPMode != 0) return true;
    // Ports kept from the last session stay in use; a reconnect after a
    // failed connect has none left and searches again.
    if (reconnect && receiver_.GetPort() != 0) return true;
    return OpenPorts(receiver_, rtcp_, packetArrived_, &packetSeen_);
}

// A search of its own, going on where the process's searches stopped: in
// the usual case the pair after the first session's.
bool CBaseRTPChannel::OpenSecondPorts() {
    if (deviceSettings_.RTPMode != 0) return true;
    return OpenPorts(receiver2_, rtcp2_, secondUser_.arrived, nullptr);
}

bool CBaseRTPChannel::OpenPorts(CRTPReceiver& receiver, CRTCPHandler& rtcp, CEvent& arrived,
                                std::atomic<bool>* seen) {
    const PortPairSearch search =
        SearchPortPairs(CPortPairCursor::Process(), Driver(), [&](uint16_t port) {
            if (StopEvent().Wait(0)) return PortPairTry::kStopped;
            if (seen != nullptr) *seen = false;
            arrived.Reset();
            // Taken ports are not logged: the search logs once if none is free.
            if (!receiver.Open(false, port)) return PortPairTry::kTaken;
            CEvent* events[] = {&StopEvent(), &arrived};
            if (WaitAny(events, 2, kQuietPortWaitMs) < 0 &&
                rtcp.Start(cameraAddress_, static_cast<uint16_t>(port + 1))) {
                return PortPairTry::kOpened;
            }
            receiver.Close();
            rtcp.Stop();
            return PortPairTry::kTaken;
        });
    return search.port != 0;
}

void CBaseRTPChannel::CloseSession(bool keepPorts) {
    if (keepPorts) return;
    receiver_.Close();
    rtcp_.Stop();
    if (singleSession_) return;
    receiver2_.Close();
    rtcp2_.Stop();
}

void CBaseRTPChannel::SecondSessionUser::OnRTPPacket(const IPv4Endpoint& sender,
                                                     const CRTPPacket& packet) {
    if (sender.address != owner_.cameraAddress_) return;
    arrived.Set();
    owner_.rtcp2_.OnRtpSequence(packet.sequenceNumber);
}

bool CBaseRTPChannel::IsAlive() {
    if (IsPaused()) return true;
    return LastFrameTime().ElapsedMs() < Driver()->GetDeviceInfo()->dataTimeoutMs / 2;
}

void CBaseRTPChannel::OnRTPPacket(const IPv4Endpoint& sender, const CRTPPacket& packet) {
    if (sender.address != cameraAddress_ || !FromStreamSource(packet)) return;
    NotePacketArrived();
    rtcp_.OnRtpSequence(packet.sequenceNumber);
    FeedParser(packet);
}

bool CBaseRTPChannel::FromStreamSource(const CRTPPacket& packet) {
    const uint32_t ssrc = CRTPSourceLock::SsrcOf(packet);
    uint32_t locked = 0;
    uint32_t dropped = 0;
    CRTPSourceLock::Verdict verdict;
    {
        CLockGuard guard(sourceLock_);
        locked = source_.Source();
        dropped = source_.RunDropped();
        verdict = source_.Check(ssrc, packet.sequenceNumber);
    }
    const char* const where = "talvik::CBaseRTPChannel::OnRTPPacket";
    switch (verdict) {
        case CRTPSourceLock::Verdict::kAccept:
            return true;
        case CRTPSourceLock::Verdict::kAcceptEnd:
            sourceLog_.Log(kLevelWarning,
                           "%s: Dropped %u RTP packets of device %s from other sources", where,
                           dropped, Driver()->GetSourceName().c_str());
            return true;
        case CRTPSourceLock::Verdict::kNewSource:
            sourceLog_.Log(kLevelWarning,
                           "%s: RTP source of device %s changed from SSRC %08X to %08X; %u "
                           "packets dropped",
                           where, Driver()->GetSourceName().c_str(), locked, ssrc, dropped);
            return true;
        case CRTPSourceLock::Verdict::kDropFirst:
            sourceLog_.Log(kLevelWarning,
                           "%s: Dropping RTP packets of device %s from SSRC %08X: the stream's "
                           "source is %08X",
                           where, Driver()->GetSourceName().c_str(), ssrc, locked);
            return false;
        case CRTPSourceLock::Verdict::kDrop:
            return false;
    }
    return false;
}

void CBaseRTPChannel::ResetStreamSource(const RTSPSessionInfo* info) {
    CLockGuard guard(sourceLock_);
    if (info != nullptr && info->hasSsrc) {
        source_.Expect(info->ssrc);
    } else {
        source_.Reset();
    }
}

void CBaseRTPChannel::OnRTCPBye() {
    byeEvent_.Set();
}

// The parser hands its frames to the host: it runs on a reference of its
// own, outside the lock, so that a slow host never holds up the capture
// thread.
void CBaseRTPChannel::FeedParser(const CRTPPacket& packet) {
    if (Stopping()) return;
    TSmartPtr<CRTPMediaParser> parser;
    {
        CLockGuard guard(parserLock_);
        parser = parser_;
    }
    if (!parser) return;
    // Only the feeding thread touches the parser's state.
    if (resyncRequested_.exchange(false, std::memory_order_acq_rel)) parser->Resync();
    parser->ProcessPacket(packet);
}

void CBaseRTPChannel::SetParser(CRTPMediaParser* parser) {
    TSmartPtr<CRTPMediaParser> replaced(parser);
    {
        CLockGuard guard(parserLock_);
        // A request meant the old stream; the new parser starts in sync.
        resyncRequested_ = false;
        std::swap(parser_, replaced);
    }
    // The old parser goes when its last packet is done, outside the lock.
}

void CBaseRTPChannel::ResyncParser() {
    resyncRequested_ = true;
}

bool CBaseRTPChannel::OnMediaFrame(IHostFrame* frame) {
    frameDelivered_.Set();
    if (!SendFrameCallback(frame)) return false;
    LastFrameTime().SetNow();
    SetCameraState(true);
    return true;
}

std::pair<uint32_t, uint32_t> CBaseRTPChannel::GetDefaultResolution() {
    return {defaultWidth_.load(), defaultHeight_.load()};
}

std::string CBaseRTPChannel::GetStreamName() {
    return StreamName(Driver()->GetDriverName(), streamKind_.load());
}

void CBaseRTPChannel::ConvertTimestamp(uint32_t rtpTimestamp, HostSystemTime* out) {
    // Called from the parser on the feeding thread; the capture thread resets it.
    CLockGuard guard(timeLock_);
    timeConverter_.Convert(rtpTimestamp);
    timeConverter_.GetTime(out);
}

// ---------------------------------------------------------------------------
// CBaseRTSPChannel

CBaseRTSPChannel::CBaseRTSPChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink)
    : CBaseRTPChannel(videoInput, driver, sink), CLoggerInstance(driver), client_(driver) {}

CBaseRTSPChannel::~CBaseRTSPChannel() {
    Stop();
    client_.Stop();
}

void CBaseRTSPChannel::StopWorkers(const std::shared_ptr<ICameraChannel>& self) {
    // The interleaved packets come on the client thread: it ends first.
    client_.Stop();
    client_.KeepUntilThreadEnds(self);
    CBaseRTPChannel::StopWorkers(self);
}

bool CBaseRTSPChannel::Pause() {
    if (IsPaused()) return false;
    SetPaused(true);
    client_.RequestPause();
    return true;
}

bool CBaseRTSPChannel::Resume() {
    if (!IsPaused()) return false;
    // The time spent paused is no silence of the camera.
    if (GetStatus() == kChannelStreaming) LastFrameTime().SetNow();
    client_.RequestPlay();
    SetPaused(false);
    return true;
}

bool CBaseRTSPChannel::OpenSession(bool reconnect) {
    if (!CBaseRTPChannel::OpenSession(reconnect)) return false;
    const DEVICE_INFO& device = *Driver()->GetDeviceInfo();
    RTSPClientSettings settings;
    settings.host = device.address;
    settings.user = device.userName;
    settings.password = device.password;
    settings.connectTimeoutMs = device.timeoutMs;
    settings.receiveTimeoutMs = device.timeoutMs;
    settings.clientRtpPort = receiver_.GetPort();
    settings.clientRtcpPort = rtcp_.GetPort();
    settings.blockSize = Settings().RTPBlockSize;
    // Cameras end a session that shows no sign of life within its time-out;
    // RTCP reports are that sign over UDP, but the interleaved mode has none.
    settings.sendKeepAlive = true;
    FillRTSPSettings(settings);
    clientStopped_.Reset();
    if (StopEvent().Wait(0)) return false;
    return client_.Start(settings, this, Settings().RTPMode);
}

void CBaseRTSPChannel::CloseSession(bool keepPorts) {
    client_.Stop();
    CBaseRTPChannel::CloseSession(keepPorts);
}

bool CBaseRTSPChannel::IsAlive() {
    if (IsPaused()) return client_.GetLastRequestOk();
    return CBaseRTPChannel::IsAlive() && client_.GetLastRequestOk();
}

bool CBaseRTSPChannel::OnRTSPSessionReady(RTSPSessionInfo* info) {
    if (info == nullptr) return false;
    rtcp_.SetCameraRtcpPort(static_cast<uint16_t>(info->serverRtcpPort));
    if (!SingleSession()) rtcp2_.SetCameraRtcpPort(static_cast<uint16_t>(info->serverRtcpPort + 2));
    // The SDP's encoding reads "H264/90000": the name is what counts.
    const std::string& encoding = info->media[kVideoSlot].encoding;
    const std::string name = encoding.substr(0, encoding.find('/'));
    if (!name.empty() && ToLowerCase(name) != "h264") {
        Log(kLevelError,
            "%s: Unable to handle RTP video data from device %s - unexpected payload type \"%s\"",
            "talvik::CBaseRTSPChannel::SdpInfoReceived", Driver()->GetSourceName().c_str(),
            name.c_str());
        SetParser(nullptr);
        return false;
    }
    ResetStreamSource(info);
    CH264RTPMediaParser* parser = new CH264RTPMediaParser(Driver(), Settings().LogRtpSequence);
    parser->SetClient(this);
    parser->SetParameterSets(info->parameterSets);
    parser->Resync();
    SetParser(parser);
    return true;
}

void CBaseRTSPChannel::OnInterleavedPacket(CRTPPacket* packet) {
    if (packet == nullptr || !FromStreamSource(*packet)) return;
    NotePacketArrived();
    rtcp_.OnRtpSequence(packet->sequenceNumber);
    FeedParser(*packet);
}

void CBaseRTSPChannel::OnRTSPClientStopped() {
    clientStopped_.Set();
}

// ---------------------------------------------------------------------------
// CH264ChannelRTSP

CH264ChannelRTSP::CH264ChannelRTSP(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink)
    : CBaseRTSPChannel(videoInput, driver, sink),
      sender_(driver != nullptr && driver->GetDeviceInfo() != nullptr ? *driver->GetDeviceInfo()
                                                                      : DEVICE_INFO()) {
    sender_.SetLogger(driver);
}

CH264ChannelRTSP::~CH264ChannelRTSP() {
    // The body uses the sender: it must end before the sender goes.
    Stop();
}

void CH264ChannelRTSP::OnStopping() {
    sender_.Cancel();
    CBaseRTSPChannel::OnStopping();
}

void CH264ChannelRTSP::PrepareStream(const DeviceSettings* settings) {
    urlConfig_ = MakeStreamUrlConfig(*Driver(), GetVideoInput(),
                                     settings != nullptr ? *settings : urlConfig_.settings);
}

bool CH264ChannelRTSP::PrepareCamera() {
    EnableCroppingIfAsked(*Driver(), camera_);
    if (!GetCameraOk(camera_, "/get?channelenable")) return false;
    if (Params().kind != 0) return true;
    if (!SendLightFrequency(camera_, urlConfig_, Settings().IndoorLightFrequency)) return false;
    if (GetVideoInput() != 0) return true;
    const uint32_t fps = FramesPerSecond(Params().frameIntervalMs);
    const uint32_t value = fps > 0 ? fps - 1 : 0;
    return GetCameraOk(camera_, urlConfig_.multiSensor
                                    ? FormatString("/setreg?page=3&reg=100&val=%u", value)
                                    : FormatString("/setreg?page=3&reg=21&val=%u", value));
}

void CH264ChannelRTSP::FillRTSPSettings(RTSPClientSettings& settings) {
    settings.defaultSessionTimeout = 9;
    const std::string port = Driver()->GetParameterString(2);
    if (!port.empty()) {
        const uint32_t value = LeadingNumber(port, 65535);
        settings.serverPort = static_cast<uint16_t>(value != 0 ? value : 554);
    }
    settings.path = BuildStreamUrl(urlConfig_, Params(), kUrlH264Rtsp);
}

}  // namespace talvik

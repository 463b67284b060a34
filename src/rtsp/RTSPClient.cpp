#include "rtsp/RTSPClient.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "ThreadCancel.h"
#include "base/Debug.h"
#include "base/Text.h"
#include "base/Time.h"
#include "media/Base64.h"
#include "media/Md5.h"
#include "platform/Clock.h"
#include "rtsp/RTSPStreamParser.h"
#include "rtsp/RTSPText.h"

namespace talvik {

namespace {

constexpr uint32_t kLoopWaitMs = 2000;
constexpr uint32_t kMinKeepAliveMs = 1000;
constexpr uint32_t kMaxKeepAliveMs = 30000;
// Answers to a keep-alive: method not allowed / not implemented, and the
// session the camera no longer knows.
constexpr uint32_t kStatusMethodNotAllowed = 405;
constexpr uint32_t kStatusNotImplemented = 501;
constexpr uint32_t kStatusSessionNotFound = 454;
constexpr size_t kFirstAnswerReceive = 256;
constexpr size_t kAnswerReceive = 512;
// Large enough for a whole frame burst per read on a fast link.
constexpr size_t kInterleavedBuffer = 256 * 1024;
// A camera writes a frame as one burst, which a woken reader outruns; while a
// frame is incomplete and the connection drained, a short nap lets the rest
// land instead of waking for every segment, where the system can nap that
// briefly (see NapMicroseconds). At most kMaxNaps per frame.
constexpr uint32_t kMaxNaps = 3;
constexpr uint32_t kNapMicroseconds = 200;
// Longest user:password sent with Basic; far beyond any real account.
constexpr size_t kMaxBasicCredentials = 1024;
const char kRtspVersion[] = "RTSP/1.0\r\n";
const char kUserAgent[] = "User-Agent: Talvik\r\n";

const char* MethodName(RTSPMethod method) {
    switch (method) {
        case RTSPMethod::DESCRIBE:
            return "DESCRIBE";
        case RTSPMethod::SETUP:
            return "SETUP";
        case RTSPMethod::PLAY:
            return "PLAY";
        case RTSPMethod::TEARDOWN:
            return "TEARDOWN";
        case RTSPMethod::OPTIONS:
            return "OPTIONS";
        case RTSPMethod::PAUSE:
            return "PAUSE";
        case RTSPMethod::GET_PARAMETER:
            return "GET_PARAMETER";
    }
    return "";
}

// Base64 of user:password on one line: the camera reads a header line, so the
// CR LF that the MIME form inserts after 76 characters must not reach it.
std::string BasicCredentials(const std::string& user, const std::string& password) {
    std::string encoded;
    if (MakeBasicCredentials(user, password, encoded)) {
        encoded.erase(std::remove_if(encoded.begin(), encoded.end(),
                                     [](char c) { return c == '\r' || c == '\n'; }),
                      encoded.end());
        return encoded;
    }
    // Longer than the MIME helper takes: RTSP has no such limit, encode directly.
    const std::string joined = user + ":" + password;
    if (joined.size() > kMaxBasicCredentials) return std::string();
    return Base64Encode(reinterpret_cast<const uint8_t*>(joined.data()), joined.size(), false);
}

// Longest reason phrase put into a log line.
constexpr size_t kMaxReasonPhrase = 64;

// The reason phrase of an answer's status line ("RTSP/1.0 461 Unsupported
// Transport"), cut and with anything unprintable replaced: it is camera text.
std::string ReasonPhrase(const std::string& answer) {
    const std::string line = answer.substr(0, answer.find_first_of("\r\n"));
    size_t at = line.find(' ');
    if (at != std::string::npos) at = line.find_first_not_of(' ', at);
    if (at != std::string::npos) at = line.find(' ', at);
    if (at != std::string::npos) at = line.find_first_not_of(' ', at);
    if (at == std::string::npos) return std::string();
    std::string reason = line.substr(at, kMaxReasonPhrase);
    for (char& c : reason) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return reason;
}

}  // namespace

CBaseRTSPClient::CBaseRTSPClient(IDebugMessage* logger, std::unique_ptr<IRTSPConnection> connection)
    : CBaseThread(logger),
      logger_(logger),
      connection_(connection ? std::move(connection) : std::make_unique<CTCPRTSPConnection>()),
      pauseEvent_(false),
      playEvent_(false),
      refusalLog_(logger) {}

CBaseRTSPClient::~CBaseRTSPClient() {
    Stop();
}

bool CBaseRTSPClient::Start(const RTSPClientSettings& settings, IRTSPClientUser* user,
                            uint32_t transportMode) {
    // A thread that a stop left running still owns the connection and the
    // session; a new session waits until it has ended.
    if (ThreadLingers()) return false;
    // A session still running would lose its connection under its feet.
    if (IsConnected()) Stop();
    parser_.Reset();
    settings_ = settings;
    user_ = user;
    transportMode_ = transportMode;
    if (!Connect()) {
        Stop();
        return false;
    }
    const std::string source = logger_ != nullptr ? logger_->GetSourceName() : std::string();
    if (!StartThread(FormatString("RTSP Client Thread (%s)", source.c_str()))) {
        Stop();
        return false;
    }
    return true;
}

bool CBaseRTSPClient::StartMulticast(const RTSPClientSettings& settings, IRTSPClientUser* user) {
    multicast_ = true;
    return Start(settings, user, kRTSPTransportUdp);
}

bool CBaseRTSPClient::Connect() {
    RTSPConnectionParams params;
    params.host = settings_.host;
    params.port = settings_.serverPort;
    params.connectTimeoutMs = settings_.connectTimeoutMs;
    params.receiveTimeoutMs = settings_.receiveTimeoutMs;
    params.sendTimeoutMs = settings_.sendTimeoutMs;
    params.receiveBufferSize = settings_.receiveBufferSize;
    if (settings_.host.empty()) return false;
    return connection_->Connect(params);
}

void CBaseRTSPClient::Stop() {
    // Cut a blocked receive short; the TEARDOWN answer then gets 100 ms.
    connection_->Interrupt();
    StopThread(std::max(settings_.receiveTimeoutMs, settings_.sendTimeoutMs) * 2 + 1000);
    // Left running: the connection is still its own; the next Start or Stop
    // after its end closes it.
    if (ThreadLingers()) return;
    connection_->Close();
    keepAliveMark_ = 0;
    user_ = nullptr;
}

bool CBaseRTSPClient::IsConnected() const {
    return connection_->IsOpen();
}

uint64_t CBaseRTSPClient::SessionTimeoutMs() const {
    const uint32_t seconds = parser_.GetSessionInfo().sessionTimeout != 0
                                 ? parser_.GetSessionInfo().sessionTimeout
                                 : settings_.defaultSessionTimeout;
    return uint64_t(seconds) * 1000;
}

uint32_t CBaseRTSPClient::GetKeepAliveIntervalMs() const {
    // Bounded both ways: a time-out read as tiny or huge must neither flood
    // the camera nor let the session lapse.
    return static_cast<uint32_t>(std::min<uint64_t>(
        std::max<uint64_t>(SessionTimeoutMs() / 2, kMinKeepAliveMs), kMaxKeepAliveMs));
}

bool CBaseRTSPClient::SendPendingTeardown() {
    if (pendingTeardown_.empty()) return false;
    const bool ok = SendAndReceive(RTSPMethod::TEARDOWN, pendingTeardown_);
    if (ok || parser_.GetSessionInfo().statusCode != 0) pendingTeardown_.clear();
    return ok;
}

void CBaseRTSPClient::Run() {
    if (!pendingTeardown_.empty()) SendPendingTeardown();
    pauseEvent_.Reset();
    playEvent_.Reset();
    if (settings_.sendKeepAlive) ChooseKeepAliveMethod();

    if (!Request(RTSPMethod::DESCRIBE)) {
        NotifyStopped();
        return;
    }
    if (Request(RTSPMethod::SETUP) && NotifySessionReady()) {
        keepAliveMark_ = NowFileTime();
        if (!paused_) playEvent_.Set();
        CEvent* events[] = {&StopEvent(), &pauseEvent_, &playEvent_};
        for (;;) {
            const int signalled = WaitAny(events, 3, KeepAliveWaitMs());
            if (signalled == 0) break;
            if (signalled == 1) {
                if (Request(RTSPMethod::PAUSE)) paused_ = true;
            } else if (signalled == 2) {
                paused_ = false;
                Request(RTSPMethod::PLAY);
            } else if (KeepAliveDue()) {
                SendKeepAlive();
            }
        }
    }
    // Sent even while stopping, so that the camera frees the session at once.
    Request(RTSPMethod::TEARDOWN);
    NotifyStopped();
}

// The loop wakes when the next keep-alive is due, not on its next round.
uint32_t CBaseRTSPClient::KeepAliveWaitMs() const {
    const uint64_t mark = keepAliveMark_;
    if (!settings_.sendKeepAlive || mark == 0) return kLoopWaitMs;
    const uint32_t elapsed = ElapsedMsSince(mark);
    const uint32_t interval = GetKeepAliveIntervalMs();
    return elapsed >= interval ? 0 : std::min(kLoopWaitMs, interval - elapsed);
}

bool CBaseRTSPClient::KeepAliveDue() {
    const uint64_t mark = keepAliveMark_;
    if (mark != 0 && ElapsedMsSince(mark) < GetKeepAliveIntervalMs()) return false;
    keepAliveMark_ = NowFileTime();
    return true;
}

// OPTIONS leaves the server's state alone (RFC 2326 §10.1); some cameras
// refresh a session only on the other requests and name GET_PARAMETER in
// the Public header as the liveness ping.
void CBaseRTSPClient::ChooseKeepAliveMethod() {
    keepAliveMethod_ = RTSPMethod::OPTIONS;
    keepAliveSwitched_ = false;
    keepAliveOn_ = true;
    if (!Request(RTSPMethod::OPTIONS)) return;
    for (const std::string& method : rtsptext::Split(parser_.GetSessionInfo().publicMethods, ",")) {
        if (TrimBlanks(method) == "GET_PARAMETER") keepAliveMethod_ = RTSPMethod::GET_PARAMETER;
    }
}

void CBaseRTSPClient::SendKeepAlive() {
    RTSPSessionInfo& info = parser_.GetSessionInfo();
    if (!settings_.sendKeepAlive || !keepAliveOn_ || info.sessionId.empty()) return;
    if (transportMode_ == kRTSPTransportInterleaved) {
        SendWithoutAnswer(keepAliveMethod_);
        return;
    }
    info.statusCode = 0;
    if (Request(keepAliveMethod_)) return;
    const uint32_t status = info.statusCode;
    if (status == kStatusMethodNotAllowed || status == kStatusNotImplemented) {
        // The session lives on: try the other request once, then rest on the
        // RTCP receiver reports.
        keepAliveOn_ = !keepAliveSwitched_;
        keepAliveSwitched_ = true;
        keepAliveMethod_ = keepAliveMethod_ == RTSPMethod::OPTIONS ? RTSPMethod::GET_PARAMETER
                                                                   : RTSPMethod::OPTIONS;
        lastRequestOk_ = true;
        return;
    }
    // Only a lost exchange or a session the camera no longer knows ends it.
    lastRequestOk_ = status != 0 && status != kStatusSessionNotFound;
    if (!lastRequestOk_) keepAliveOn_ = false;
}

void CBaseRTSPClient::SendWithoutAnswer(RTSPMethod method) {
    // The answer arrives among the media frames; the stream parser skips it.
    std::string text;
    BuildRequest(text, method);
    if (!text.empty()) connection_->Send(text.data(), text.size());
}

bool CBaseRTSPClient::Request(RTSPMethod method) {
    if (method != RTSPMethod::TEARDOWN && StopRequested()) return false;
    lastRequestOk_ = SendMethod(method);
    const RTSPSessionInfo& info = parser_.GetSessionInfo();
    if (lastRequestOk_ && info.statusCode == 401 && info.authScheme != settings_.authScheme) {
        // A challenge in a new scheme: answer it once.
        settings_.authScheme = info.authScheme;
        lastRequestOk_ = SendMethod(method);
    }
    const bool ok = lastRequestOk_ && info.statusCode >= 200 && info.statusCode < 300;
    NoteOutcome(method, ok);
    return ok;
}

void CBaseRTSPClient::NoteOutcome(RTSPMethod method, bool ok) {
    // A TEARDOWN refused for a session the camera no longer has tells nothing.
    if (method == RTSPMethod::TEARDOWN) return;
    if (ok) {
        if (refusalRun_ && refusedMethod_ == method) {
            refusalRun_ = false;
            refusalLog_.EndRepeat();
        }
        return;
    }
    // Without an answer the failure is the connection's, not a refusal.
    const uint32_t status = parser_.GetSessionInfo().statusCode;
    if (status == 0 || (status >= 200 && status < 300)) return;
    refusalRun_ = true;
    refusedMethod_ = method;
    const std::string source = logger_ != nullptr ? logger_->GetSourceName() : std::string();
    refusalLog_.Log(kLevelError, "%s: Device %s refused RTSP %s with %u %s",
                    "talvik::CBaseRTSPClient::Request", source.c_str(), MethodName(method),
                    static_cast<unsigned>(status), lastReason_.c_str());
}

bool CBaseRTSPClient::SendMethod(RTSPMethod method) {
    if (!connection_->IsOpen()) return false;
    std::string text;
    BuildRequest(text, method);
    if (text.empty()) return false;
    if (method != RTSPMethod::TEARDOWN) return SendAndReceive(method, text);
    pendingTeardown_ = text;
    const bool ok = SendAndReceive(method, text);
    // Answered, even with a refusal: nothing left to repeat at the next run.
    if (ok || parser_.GetSessionInfo().statusCode != 0) pendingTeardown_.clear();
    return ok;
}

bool CBaseRTSPClient::SendAndReceive(RTSPMethod method, const std::string& text) {
    if (!connection_->IsOpen()) return false;
    if (connection_->Send(text.data(), text.size()) != static_cast<int>(text.size())) return false;
    if (transportMode_ == kRTSPTransportInterleaved && method == RTSPMethod::PLAY) {
        return ReceiveInterleaved();
    }
    // A status left from an earlier answer must not pass for this one's.
    parser_.GetSessionInfo().statusCode = 0;
    const std::string answer = ReadAnswer();
    lastReason_ = ReasonPhrase(answer);
    if (answer.empty()) return false;
    return parser_.ParseResponse(method, answer);
}

std::string CBaseRTSPClient::ReadAnswer() {
    std::string collected;
    // Until the header block has ended we only know that it must fit the cap.
    size_t expected = kRTSPMaxHeaderBytes;
    bool headerSeen = false;
    uint8_t buffer[kAnswerReceive];
    size_t ask = kFirstAnswerReceive;
    for (;;) {
        const int received = connection_->Receive(buffer, ask);
        if (received < 1) break;
        collected.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(received));
        if (!headerSeen) {
            const size_t end = collected.find("\r\n\r\n");
            if (end != std::string::npos) {
                headerSeen = true;
                const std::string headers = ToLowerCase(collected.substr(0, end + 4));
                const uint32_t bodyLength =
                    rtsptext::AllDigits(GetParamValue(headers, "content-length", ": ", "&\r\n"));
                expected = end + 4 + std::min<size_t>(bodyLength, kRTSPMaxBodyBytes);
            }
        }
        if (collected.size() >= expected) break;
        ask = std::min(expected - collected.size(), kAnswerReceive);
    }
    return collected;
}

bool CBaseRTSPClient::ReceiveInterleaved() {
    const uint8_t channel = parser_.GetSessionInfo().interleavedChannel;
    // The second channel is the first plus 2 (an audio stream), not the RTCP channel.
    CRTSPStreamParser stream(user_, channel, static_cast<uint8_t>(channel + 2));
    stream.SetPayloadTypes(SessionPayloadTypes());
    // Not value-initialised: pages become resident only as data fills them.
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kInterleavedBuffer]);
    uint32_t naps = 0;
    uint32_t lostReported = 0;
    int received = connection_->Receive(buffer.get(), kInterleavedBuffer);
    while (received > 0) {
        if (StopRequested()) return false;
        stream.Feed(buffer.get(), static_cast<size_t>(received));
        // Frames lost to a resync never reach the host, so the log is the
        // only place a run that keeps losing its place can show.
        if (stream.LostCount() != lostReported) {
            ReportLostPlace(lostReported, stream.LostCount());
            lostReported = stream.LostCount();
        }
        // PAUSE and PLAY asked while the media flows go out at once; their
        // answers arrive among the media frames and the stream parser skips them.
        // The state changes before the request goes out, so that whoever
        // sees the request also sees the state.
        if (pauseEvent_.Wait(0)) {
            paused_ = true;
            SendWithoutAnswer(RTSPMethod::PAUSE);
        }
        if (playEvent_.Wait(0)) {
            paused_ = false;
            SendWithoutAnswer(RTSPMethod::PLAY);
        }
        if (KeepAliveDue()) SendKeepAlive();
        if (!stream.MidFrame()) {
            naps = 0;
        } else if (static_cast<size_t>(received) < kInterleavedBuffer && naps < kMaxNaps &&
                   NapMicroseconds(kNapMicroseconds)) {
            ++naps;
        }
        received = connection_->Receive(buffer.get(), kInterleavedBuffer);
    }
    return true;
}

// Once for the first loss of a session, then each time the count passes 10,
// 100, 1000...: enough to see a stream that keeps losing its place without a
// line per resync.
void CBaseRTSPClient::ReportLostPlace(uint32_t before, uint32_t count) {
    uint64_t threshold = 1;
    while (threshold * 10 <= count)
        threshold *= 10;
    if (logger_ == nullptr || threshold <= before || threshold > count) return;
    logger_->DebugMessage(kLevelWarning,
                          "%s: Device %s: lost its place in the interleaved stream %u time%s; "
                          "frames up to the next trusted one are dropped",
                          "talvik::CBaseRTSPClient::ReceiveInterleaved",
                          logger_->GetSourceName().c_str(), static_cast<unsigned>(count),
                          count == 1 ? "" : "s");
}

// The types the description names for the selected media: its rtpmap and,
// for video, the fmtp lines that carry parameter sets.
std::vector<uint8_t> CBaseRTSPClient::SessionPayloadTypes() const {
    const RTSPSessionInfo& info = parser_.GetSessionInfo();
    const RTSPMediaInfo& media = SelectedMedia();
    std::vector<uint8_t> types;
    if (!media.encoding.empty()) types.push_back(media.payloadType);
    if (&media == &info.media[kVideoSlot]) {
        for (const H264ParameterSetEntry& entry : info.parameterSets) {
            if (entry.payloadType >= 0 && entry.payloadType < 128) {
                types.push_back(static_cast<uint8_t>(entry.payloadType));
            }
        }
    }
    return types;
}

const RTSPMediaInfo& CBaseRTSPClient::SelectedMedia() const {
    const auto& media = parser_.GetSessionInfo().media;
    const uint32_t select = settings_.mediaSelect;
    return media[select >= 1 && select <= media.size() ? select - 1 : kVideoSlot];
}

bool CBaseRTSPClient::HasContentBase() const {
    return parser_.GetSessionInfo().contentBase.find("rtsp://") != std::string::npos;
}

std::string CBaseRTSPClient::PresentationUrl() const {
    if (HasContentBase()) return parser_.GetSessionInfo().contentBase;
    const size_t pathStart = settings_.path.find_first_not_of('/');
    const std::string path =
        pathStart == std::string::npos ? std::string() : settings_.path.substr(pathStart);
    return FormatString("rtsp://%s:%u/", settings_.host.c_str(),
                        static_cast<unsigned>(settings_.serverPort)) +
           path;
}

std::string CBaseRTSPClient::SetupUrl(const std::string& presentationUrl) const {
    const std::string& control = SelectedMedia().control;
    if (control.find("://") != std::string::npos) return control;
    if (control.empty() || presentationUrl.empty()) return presentationUrl;
    std::string url = presentationUrl;
    // Our own path may carry the stream's query: the control belongs to the
    // path, before it. A Content-Base is the camera's and is taken as given.
    std::string query;
    const size_t queryStart = HasContentBase() ? std::string::npos : url.find('?');
    if (queryStart != std::string::npos) {
        query = url.substr(queryStart);
        url.erase(queryStart);
    }
    if (!url.empty() && url.back() == '/') url.pop_back();
    if (control.front() != '/') url += '/';
    return url + control + query;
}

std::string CBaseRTSPClient::TransportLine() const {
    const RTSPMediaInfo media = SelectedMedia();
    std::string profile = media.profile;
    if (profile.empty() || profile == "RTP/AVP") {
        profile = transportMode_ == kRTSPTransportUdp ? "RTP/AVP/UDP" : "RTP/AVP/TCP";
    }
    const bool multicast = transportMode_ == kRTSPTransportUdp && multicast_;
    std::string line = "Transport: " + profile + (multicast ? ";multicast" : ";unicast");
    if (multicast) {
        line += FormatString(";client_port=%u-%u", static_cast<unsigned>(media.port),
                             static_cast<unsigned>(media.port) + 1);
    } else if (transportMode_ != kRTSPTransportInterleaved) {
        line += FormatString(";client_port=%u-%u", static_cast<unsigned>(settings_.clientRtpPort),
                             static_cast<unsigned>(settings_.clientRtcpPort));
    }
    return line + "\r\n";
}

std::string CBaseRTSPClient::AuthorizationLine(RTSPMethod method, const std::string& url) const {
    const RTSPSessionInfo& info = parser_.GetSessionInfo();
    if (settings_.authScheme == AuthScheme::Basic) {
        const std::string credentials = BasicCredentials(settings_.user, settings_.password);
        if (credentials.empty()) return std::string();
        return "Authorization: Basic " + credentials + "\r\n";
    }
    if (settings_.authScheme == AuthScheme::Digest) {
        if (info.realm.empty() || info.nonce.empty() || settings_.user.empty() ||
            settings_.password.empty() || url.empty()) {
            return std::string();
        }
        // RFC 2617 digest without qop.
        const std::string ha1 =
            Md5HexDigest(settings_.user + ":" + info.realm + ":" + settings_.password);
        const std::string ha2 = Md5HexDigest(std::string(MethodName(method)) + ":" + url);
        const std::string response = Md5HexDigest(ha1 + ":" + info.nonce + ":" + ha2);
        return FormatString(
            "Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", "
            "response=\"%s\"\r\n",
            settings_.user.c_str(), info.realm.c_str(), info.nonce.c_str(), url.c_str(),
            response.c_str());
    }
    return std::string();
}

void CBaseRTSPClient::BuildRequest(std::string& text, RTSPMethod method) {
    RTSPSessionInfo& info = parser_.GetSessionInfo();
    const std::string url = PresentationUrl();
    ++info.cseq;
    const std::string cseq = FormatString("CSeq: %u\r\n", info.cseq);
    // RFC 2617 3.2.2: the digest's uri is the Request-URI of this request.
    const std::string requestUrl = method == RTSPMethod::SETUP ? SetupUrl(url) : url;
    const std::string authorization = AuthorizationLine(method, requestUrl);
    const std::string session = info.sessionId.empty()
                                    ? std::string()
                                    : FormatString("Session: %s\r\n", info.sessionId.c_str());
    const std::string range =
        "Range: " + (settings_.range.empty() ? std::string("npt=0.000-") : settings_.range) +
        "\r\n";
    const std::string blockSize = settings_.blockSize > 100
                                      ? FormatString("Blocksize: %u\r\n", settings_.blockSize)
                                      : std::string();
    const std::string head = std::string(kRtspVersion) + cseq + authorization + kUserAgent;

    switch (method) {
        case RTSPMethod::DESCRIBE:
            text = "DESCRIBE " + url + " " + head + "Accept: application/sdp\r\n\r\n";
            break;
        case RTSPMethod::SETUP:
            text = "SETUP " + requestUrl + " " + head + TransportLine() + blockSize + "\r\n";
            break;
        case RTSPMethod::PLAY:
            text = "PLAY " + url + " " + head + session + range + blockSize + "\r\n";
            break;
        case RTSPMethod::TEARDOWN:
        case RTSPMethod::OPTIONS:
        case RTSPMethod::GET_PARAMETER:
            text = std::string(MethodName(method)) + " " + url + " " + head + session + "\r\n";
            break;
        case RTSPMethod::PAUSE:
            text = "PAUSE " + url + " " + head + session + range + "\r\n";
            break;
    }
}

bool CBaseRTSPClient::NotifySessionReady() {
    if (user_ == nullptr) return false;
    try {
        return user_->OnRTSPSessionReady(&parser_.GetSessionInfo());
    } catch (...) {
        RethrowThreadCancellation();
        return false;
    }
}

void CBaseRTSPClient::NotifyStopped() {
    if (user_ == nullptr) return;
    try {
        user_->OnRTSPClientStopped();
    } catch (...) {
        RethrowThreadCancellation();
    }
}

}  // namespace talvik

#include "http/HttpSender.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <random>

#include "ThreadCancel.h"
#include "base/Debug.h"
#include "base/Text.h"

namespace talvik {
namespace Web {

namespace {

constexpr const char* kAgentName = "Talvik::HttpSender";
constexpr size_t kTransferChunk = IHttpTransfer::kMaxBodyPiece;
// Most a direct read may write at once: what a 1080p picture's wake-up brings
// in one read, small enough that the reader scans it while it is cached.
constexpr size_t kDirectRead = 256 * 1024;
constexpr uint32_t kDefaultTimeoutMs = 5000;
constexpr size_t kMaxAuthenticateHeaders = 16;
constexpr size_t kMaxHeaderLine = 16384;

std::atomic<uint16_t> g_tlsDefaultPort{443};

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return text.size() >= n && ToLowerCase(text.substr(0, n)) == ToLowerCase(prefix);
}

// Host part of the URL; empty when the address holds characters that would
// change the URL's meaning.
std::string UrlHost(const std::string& address) {
    if (address.empty()) return std::string();
    for (char c : address) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_' || c == ':' || c == '%' || c == '[' || c == ']';
        if (!ok) return std::string();
    }
    if (address.find(':') != std::string::npos && address.front() != '[')
        return "[" + address + "]";
    return address;
}

// The path as it goes on the request line: blanks, control bytes, '#' and
// bytes above 0x7e cannot travel raw, everything else does.
std::string RequestTarget(const std::string& path) {
    std::string out;
    if (path.empty() || path.front() != '/') out += '/';
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '#')
            out += FormatString("%%%02X", u);
        else
            out += c;
    }
    return out;
}

const char* SchemeName(uint32_t scheme) {
    switch (scheme) {
        case kAuthBasic:
            return "Basic";
        case kAuthNtlm:
            return "NTLM";
        case kAuthPassport:
            return "Passport";
        case kAuthDigest:
            return "Digest";
        case kAuthNegotiate:
            return "Negotiate";
        default:
            return "no";
    }
}

std::string MakeCnonce() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard<std::mutex> guard(mutex);
    return FormatString("%016llx", static_cast<unsigned long long>(generator()));
}

}  // namespace

uint32_t MapAuthSelector(uint32_t authSelector) {
    if (authSelector & 4) return kAuthNegotiate;
    switch (authSelector & 3) {
        case 3:
            return kAuthDigest;
        case 2:
            return kAuthPassport;
        case 1:
            return kAuthNtlm;
        default:
            return kAuthBasic;
    }
}

void CHttpSender::SetTlsDefaultPort(uint16_t port) {
    g_tlsDefaultPort = port;
}
uint16_t CHttpSender::GetTlsDefaultPort() {
    return g_tlsDefaultPort;
}

CHttpSender::CHttpSender(const DEVICE_INFO& device) : device_(device) {
    secure_ = device_.port == GetTlsDefaultPort() ? 1 : 0;
    transfer_ = CreateHttpTransfer();
}

CHttpSender::~CHttpSender() {
    CloseRequest();
}

std::string CHttpSender::DescribeLastError() const {
    switch (lastError_) {
        case 0:
            return "no error";
        case kErrorTimeout:
            return FormatString("no answer within %u ms",
                                device_.timeoutMs ? device_.timeoutMs : kDefaultTimeoutMs);
        case kErrorCancelled:
            return "cancelled";
        case kTransferCouldntConnect:
            return "connection refused";
        case kTransferCouldntResolveHost:
            return "unknown host";
        case kTransferUnsupportedProtocol:
        case kTransferWeirdServerReply:
            return "the answer is not HTTP";
        case kTransferGotNothing:
            return "connection closed without an answer";
        case kTransferSendError:
        case kTransferRecvError:
            return "connection broken";
        case kTransferSslConnectError:
            return "TLS handshake failed";
        case kTransferOutOfMemory:  // how curl reports a header line over 100 KB
            return "the answer head is too large";
        default:
            return FormatString("%s (error %u)", transfer_->ErrorText(lastError_).c_str(),
                                lastError_);
    }
}

void CHttpSender::Cancel() {
    cancelled_ = true;
    if (transfer_) transfer_->Wake();
}

bool CHttpSender::SendRequest(HttpRequest request) {
    cancelled_ = false;
    bodyLimited_ = false;
    // One deadline for everything the device may drag out: interim answers,
    // a head or body sent a byte at a time, both schemes, the repeat with a
    // learned scheme.
    requestDeadline_ = NowMs() + (device_.timeoutMs ? device_.timeoutMs : kDefaultTimeoutMs);
    pumpDeadline_ = requestDeadline_;
    bool sent = false;
    try {
        const std::string path = request.path;
        sent = SendRequestInner(std::move(request));
        NoteRefusal(path);
    } catch (...) {  // allocation only; the request is dropped
        RethrowThreadCancellation([this] { pumpDeadline_ = 0; });
        CloseRequest();
    }
    pumpDeadline_ = 0;  // a stream's body is read without one
    return sent;
}

std::string CHttpSender::DescribeRefusal() const {
    if (statusCode_ != 401) return std::string();
    const unsigned port = device_.port;
    if (schemeTried_ == kAuthNone)
        return FormatString(
            "device %s:%u asks for credentials and none are configured (HTTP status 401)",
            device_.address.c_str(), port);
    return FormatString(
        "device %s:%u refused the credentials of user \"%s\" (HTTP status 401, "
        "%s scheme)",
        device_.address.c_str(), port, device_.userName.c_str(), SchemeName(schemeTried_));
}

void CHttpSender::NoteRefusal(const std::string& path) {
    if (statusCode_ != 401) {
        if (statusCode_ != 0) refusalTold_ = false;  // an answer ends the run
        return;
    }
    if (refusalTold_ && refusedScheme_ == schemeTried_) return;
    refusalTold_ = true;
    refusedScheme_ = schemeTried_;
    if (logger_ == nullptr) return;
    const char* tag = "talvik::Web::CHttpSender::SendRequest";
    const unsigned port = device_.port;
    if (schemeTried_ == kAuthNone) {
        logger_->DebugMessage(kLevelError,
                              "%s: Device %s:%u asks for credentials for \"%s\" and none are "
                              "configured (HTTP status 401)",
                              tag, device_.address.c_str(), port, path.c_str());
    } else {
        logger_->DebugMessage(kLevelError,
                              "%s: Device %s:%u refused the credentials of user \"%s\" for "
                              "\"%s\" (HTTP status 401, %s scheme)",
                              tag, device_.address.c_str(), port, device_.userName.c_str(),
                              path.c_str(), SchemeName(schemeTried_));
    }
}

bool CHttpSender::DeadlinePassed() const {
    return pumpDeadline_ != 0 && NowMs() >= pumpDeadline_;
}

void CHttpSender::LimitBodyReads(uint32_t ms) {
    pumpDeadline_ = NowMs() + ms;
    bodyLimited_ = true;
}

namespace {
bool IsNotHttp(uint32_t error) {
    return error == kTransferWeirdServerReply || error == kTransferUnsupportedProtocol;
}
}  // namespace

bool CHttpSender::SendRequestInner(HttpRequest request) {
    request.secure = secure_;
    int result = Attempt(request);
    if (result == kAttemptRetry && !cancelled_ && !DeadlinePassed()) {
        const uint32_t firstError = lastError_;
        request.secure = request.secure == 0 ? 1 : 0;
        result = Attempt(request);
        // A device that answered the first scheme, if not in HTTP, is better
        // described by that answer than by its silence on the other scheme.
        if (result != kAttemptOk && statusCode_ == 0 && lastError_ != kErrorCancelled &&
            IsNotHttp(firstError))
            lastError_ = firstError;
    }
    if (result != kAttemptOk) return false;
    secure_ = request.secure;
    return true;
}

void CHttpSender::CloseRequest() {
    if (requestOpen_) transfer_->Stop();
    requestOpen_ = false;
    transferDone_ = false;
    transferResult_ = 0;
    paused_ = false;
    headComplete_ = false;
    inHeaderBlock_ = false;
    headStatus_ = 0;
    headContentLength_ = 0;
    authenticateHeaders_.clear();
    bufferHead_ = 0;
    bufferTail_ = 0;
    noRoom_ = false;
    heldDropped_ = false;
}

std::string CHttpSender::BuildUrl(const HttpRequest& request) const {
    std::string host = UrlHost(device_.address);
    if (host.empty()) return std::string();
    return FormatString("%s://%s:%u", request.secure == 1 ? "https" : "http", host.c_str(),
                        static_cast<unsigned>(device_.port)) +
           RequestTarget(request.path);
}

int CHttpSender::Attempt(HttpRequest& request) {
    CloseRequest();
    statusCode_ = 0;
    contentLength_ = 0;
    lastError_ = 0;
    if (!transfer_) {
        lastError_ = kTransferFailedInit;
        return kAttemptFailed;
    }
    const bool withCredentials =
        !device_.userName.empty() && request.authSelector != kSelectNoCredentials;
    const uint32_t scheme =
        withCredentials ? (authScheme_ ? authScheme_ : MapAuthSelector(request.authSelector)) : 0;
    schemeTried_ = scheme;

    // A Digest nonce that went stale is answered once more with the new one.
    for (int round = 0; round < 2; ++round) {
        if (round > 0) CloseRequest();
        if (!PrepareTransfer(request, scheme)) {
            CloseRequest();
            return kAttemptFailed;
        }
        requestOpen_ = true;
        int result = WaitForHead(request, scheme);
        if (result != kAttemptOk || round > 0 || !HandleDigestStale(request, scheme)) return result;
    }
    return kAttemptOk;
}

bool CHttpSender::HandleDigestStale(const HttpRequest& /*request*/, uint32_t scheme) {
    if (statusCode_ != 401 || scheme != kAuthDigest || !(digest_.valid || digestUnanswered_))
        return false;
    DigestChallenge fresh;
    ParseAuthenticate(authenticateHeaders_, &fresh);
    if (!fresh.valid) return false;
    digest_ = fresh;
    digestCount_ = 0;
    return fresh.stale || digestUnanswered_;
}

bool CHttpSender::PrepareTransfer(const HttpRequest& request, uint32_t scheme) {
    multiRound_ = (request.flags & kFlagNoRedirects) == 0;
    bytesSeen_ = 0;
    bytesDirect_ = 0;
    TransferSettings settings;
    settings.url = BuildUrl(request);
    if (settings.url.empty()) {
        lastError_ = kTransferUrlMalformed;
        return false;
    }
    for (const std::string& line : request.headers) {
        if (line.find_first_of("\r\n") != std::string::npos) {
            lastError_ = kTransferBadArgument;
            return false;
        }
    }
    settings.headers = request.headers;
    settings.userAgent = kAgentName;
    settings.connectTimeoutMs = device_.timeoutMs ? device_.timeoutMs : kDefaultTimeoutMs;
    settings.followRedirects = (request.flags & kFlagNoRedirects) == 0;
    settings.ignoreCertErrors = request.secure == 1 && (request.flags & kFlagIgnoreCertErrors);
    settings.verb = request.verb.empty() ? std::string("GET") : request.verb;
    postBody_.assign(request.body.begin(), request.body.end());
    settings.body = &postBody_;
    if (!ChooseAuth(request, scheme, settings)) return false;
    uint32_t started = transfer_->Start(settings, this);
    digestUnanswered_ = false;
    if (started == kTransferNotBuiltIn && settings.auth == TransferAuth::kDigest) {
        // A transfer without Digest: the challenge comes back here and is
        // answered with our own header, as a learned one is.
        settings.auth = TransferAuth::kNone;
        settings.userName = settings.password = nullptr;
        digestUnanswered_ = true;
        started = transfer_->Start(settings, this);
    }
    if (started != kTransferOk) {
        lastError_ = started;
        return false;
    }
    return true;
}

bool CHttpSender::ChooseAuth(const HttpRequest& request, uint32_t scheme,
                             TransferSettings& settings) {
    switch (scheme) {
        case kAuthNone:
            return true;
        case kAuthBasic:
            settings.auth = TransferAuth::kBasic;
            break;
        case kAuthNtlm:
            settings.auth = TransferAuth::kNtlm;
            multiRound_ = true;
            break;
        case kAuthNegotiate:
            settings.auth = TransferAuth::kNegotiate;
            multiRound_ = true;
            break;
        case kAuthDigest:
            if (digest_.valid) {
                // Answered here from the learned challenge, so that a known
                // device costs one exchange per request.
                settings.headers.push_back(
                    "Authorization: " +
                    BuildDigestAuthorization(digest_, device_.userName, device_.password,
                                             settings.verb, RequestTarget(request.path), postBody_,
                                             ++digestCount_, MakeCnonce()));
                return true;
            }
            settings.auth = TransferAuth::kDigest;
            multiRound_ = true;
            break;
        default:  // Passport: no client for it
            lastError_ = kTransferNotBuiltIn;
            return false;
    }
    settings.userName = &device_.userName;
    settings.password = &device_.password;
    return true;
}

int CHttpSender::WaitForHead(HttpRequest& request, uint32_t /*scheme*/) {
    PumpResult pumped = Pump([this] { return headComplete_; });
    if (pumped == kPumpDone && headStatus_ != 0 && !inHeaderBlock_) pumped = kPumpReady;
    switch (pumped) {
        case kPumpReady:
            break;
        case kPumpCancelled:
            lastError_ = kErrorCancelled;
            CloseRequest();
            return kAttemptFailed;
        case kPumpTimeout: {
            // A time-out while connecting or in the TLS handshake ends the
            // request; one after the request went out may be a device that
            // waits for the other scheme, so that gets the second attempt.
            const bool sent = transfer_->RequestSent();
            lastError_ = kErrorTimeout;
            CloseRequest();
            return sent ? kAttemptRetry : kAttemptFailed;
        }
        case kPumpError:
            CloseRequest();
            return kAttemptFailed;
        case kPumpDone: {
            // No answer: a device that speaks the other scheme ends up here.
            // A time-out and an answer that is not HTTP end the request;
            // except that bytes without a status line in answer to a plain
            // request are most likely a TLS alert from a device that speaks
            // only TLS, which is then tried.
            uint32_t error = transferResult_ ? transferResult_ : uint32_t{kTransferGotNothing};
            const bool statusLine = headStatus_ != 0 || inHeaderBlock_;
            lastError_ = error;
            CloseRequest();
            if (IsNotHttp(error) && request.secure == 0 && !statusLine) return kAttemptRetry;
            // curl reports a header line over its 100 KB limit as out of
            // memory: the device answered, on this scheme.
            const bool final =
                error == kTransferTimedOut || IsNotHttp(error) || error == kTransferOutOfMemory;
            return final ? kAttemptFailed : kAttemptRetry;
        }
    }

    statusCode_ = headStatus_;
    if (statusCode_ != 204) contentLength_ = headContentLength_;

    if (statusCode_ == 401 && authScheme_ == 0) {
        const uint32_t used = MapAuthSelector(request.authSelector);
        DigestChallenge challenge;
        const uint32_t learned = ParseAuthenticate(authenticateHeaders_, &challenge);
        authScheme_ = learned;
        if (challenge.valid) {
            digest_ = challenge;
            digestCount_ = 0;
        }
        CloseRequest();
        const bool answerHere = learned == kAuthDigest && digestUnanswered_ && digest_.valid;
        if (learned == kAuthNone || (learned == used && !answerHere)) return kAttemptFailed;
        // The device answered on this scheme, so the repeat goes there too.
        secure_ = request.secure;
        if (!SendRequestInner(request)) return kAttemptRetry;
        request.secure = secure_;  // where the repeat succeeded
        return kAttemptOk;
    }
    return kAttemptOk;
}

template <typename Ready>
CHttpSender::PumpResult CHttpSender::Pump(Ready ready) {
    const uint64_t timeoutMs = device_.timeoutMs ? device_.timeoutMs : kDefaultTimeoutMs;
    uint64_t lastSeen = bytesSeen_;
    uint64_t lastProgress = NowMs();
    for (;;) {
        if (cancelled_) return kPumpCancelled;
        if (!transfer_->Perform(transferDone_, transferResult_)) {
            lastError_ = kTransferFailedInit;
            return kPumpError;
        }
        if (ready()) return kPumpReady;
        if (transferDone_) return kPumpDone;
        if (cancelled_) return kPumpCancelled;
        // Cannot happen: a full buffer satisfies every reader.
        if (paused_ || Buffered() >= kReadBufferCap) return kPumpError;

        const uint64_t now = NowMs();
        if (bytesSeen_ != lastSeen) {
            lastSeen = bytesSeen_;
            lastProgress = now;
        } else if (now - lastProgress >= timeoutMs) {
            return kPumpTimeout;
        }
        if (pumpDeadline_ != 0 && now >= pumpDeadline_) return kPumpTimeout;
        uint64_t left = timeoutMs - (now - lastProgress);
        if (pumpDeadline_ != 0) left = std::min(left, pumpDeadline_ - now);
        transfer_->Wait(static_cast<int>(std::min<uint64_t>(left, 1000)));
    }
}

void CHttpSender::ResumeIfPaused() {
    if (!paused_ || !requestOpen_) return;
    paused_ = false;
    transfer_->Resume();  // may hand over the held piece at once
}

uint32_t CHttpSender::ReadData(std::vector<uint8_t>& out, uint32_t maxBytes, bool clearFirst) {
    try {
        return ReadDataInner(out, maxBytes, clearFirst);
    } catch (...) {  // allocation only
        RethrowThreadCancellation();
        CloseRequest();
        return 0;
    }
}

void CHttpSender::SetMemoryBudget(CMemoryBudget* budget) {
    storageCharge_.SetBudget(budget);
    storageCharge_.ForceGrowTo(bufferSize_);
}

size_t CHttpSender::WaitForBody(size_t& seen) {
    if (cancelled_) {
        lastError_ = kErrorCancelled;
        CloseRequest();
        return 0;
    }
    // Checked before the held bytes too: a body that keeps coming must not
    // outlast the limit either.
    if (bodyLimited_ && DeadlinePassed()) {
        lastError_ = kErrorTimeout;
        return 0;
    }
    for (;;) {
        if (noRoom_ && Buffered() <= seen && !transferDone_) {
            DropHeld();
            seen = 0;
        }
        // Bytes released by the reader are gone by now: curl may write again.
        if (Buffered() + kTransferChunk <= kReadBufferCap) {
            noRoom_ = false;
            ResumeIfPaused();
        }
        if (Buffered() > seen) return Buffered();
        if (transferDone_) {
            if (transferResult_) lastError_ = transferResult_;
            return 0;
        }
        PumpResult pumped = Pump([this, seen] { return Buffered() > seen || noRoom_; });
        if (pumped == kPumpCancelled) {
            lastError_ = kErrorCancelled;
            CloseRequest();
            return 0;
        }
        if (pumped == kPumpTimeout) lastError_ = kErrorTimeout;
        if (Buffered() > seen) return Buffered();
        if (!noRoom_) {
            if (transferDone_ && transferResult_) lastError_ = transferResult_;
            return 0;
        }
    }
}

void CHttpSender::DropHeld() {
    bufferHead_ = bufferTail_ = 0;
    heldDropped_ = true;
    if (budgetRunTold_ || logger_ == nullptr) return;
    budgetRunTold_ = true;
    logger_->DebugMessage(kLevelWarning,
                          "%s: The buffers of all streams are at their limit of %u KiB: a "
                          "picture of device %s:%u was dropped",
                          "talvik::Web::CHttpSender::ReadHeld",
                          unsigned(storageCharge_.Budget()->Limit() >> 10), device_.address.c_str(),
                          unsigned(device_.port));
}

uint32_t CHttpSender::ReadDataInner(std::vector<uint8_t>& out, uint32_t maxBytes, bool clearFirst) {
    if (clearFirst) out.clear();
    if (!requestOpen_ || maxBytes == 0) return 0;
    size_t seen = 0;
    const size_t count = std::min<size_t>(maxBytes, WaitForBody(seen));
    if (count == 0) return 0;
    const uint8_t* first = buffer_.get() + bufferHead_;
    out.insert(out.end(), first, first + count);
    Release(count);
    if (Buffered() + kTransferChunk <= kReadBufferCap) ResumeIfPaused();
    return static_cast<uint32_t>(count);
}

size_t CHttpSender::ReadHeld(const uint8_t*& data, size_t& seen) {
    data = nullptr;
    try {
        if (!requestOpen_) return 0;
        const size_t count = WaitForBody(seen);
        if (heldDropped_) seen = 0;
        heldDropped_ = false;
        if (count == 0) return 0;
        data = buffer_.get() + bufferHead_;
        return count;
    } catch (...) {  // allocation only
        RethrowThreadCancellation();
        CloseRequest();
        return 0;
    }
}

// The tail stays: the transfer may be writing after it, into the room it was
// given.
void CHttpSender::Release(size_t count) {
    bufferHead_ += std::min(count, Buffered());
}

uint32_t CHttpSender::QueryDataAvailable() {
    try {
        return QueryDataAvailableInner();
    } catch (...) {  // allocation only
        RethrowThreadCancellation();
        CloseRequest();
        return 0;
    }
}

uint32_t CHttpSender::QueryDataAvailableInner() {
    if (!requestOpen_) return 0;
    if (cancelled_) {
        lastError_ = kErrorCancelled;
        CloseRequest();
        return 0;
    }
    if (Buffered() == 0 && !transferDone_) {
        ResumeIfPaused();
        PumpResult pumped = Pump([this] { return Buffered() > 0; });
        if (pumped == kPumpCancelled) {
            lastError_ = kErrorCancelled;
            CloseRequest();
            return 0;
        }
        if (pumped == kPumpTimeout) lastError_ = kErrorTimeout;
    }
    return static_cast<uint32_t>(std::min<size_t>(Buffered(), UINT32_MAX));
}

uint32_t CHttpSender::ReadResponse(std::vector<uint8_t>& out) {
    out.clear();
    // An announced length is believed only up to kMaxResponseBody.
    uint32_t budget =
        contentLength_ ? std::min(contentLength_, kMaxResponseBody) : kDefaultBodyBudget;
    uint32_t got = 1;
    pumpDeadline_ = requestDeadline_;
    while (requestOpen_ && got > 0 && budget > 0) {
        got = ReadData(out, std::min<uint32_t>(8192, budget), false);
        budget -= std::min(got, budget);
    }
    pumpDeadline_ = 0;
    return static_cast<uint32_t>(std::min<size_t>(out.size(), UINT32_MAX));
}

size_t CHttpSender::OnHeaderLine(const char* data, size_t size) {
    bytesSeen_ += size;
    std::string line(data, std::min(size, kMaxHeaderLine));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();

    if (!inHeaderBlock_) {
        if (StartsWithNoCase(line, "HTTP/")) {
            size_t blank = line.find(' ');
            uint32_t status = 0;
            if (blank != std::string::npos && line.size() >= blank + 4)
                status = ParseUnsigned(line.substr(blank + 1, 3));
            inHeaderBlock_ = true;
            headComplete_ = false;
            headStatus_ = status;
            headContentLength_ = 0;
            authenticateHeaders_.clear();
        }
        return size;
    }
    if (line.empty()) {
        inHeaderBlock_ = false;
        if (headStatus_ >= 100 && headStatus_ < 200) return size;  // interim answer
        const bool curlMayAnswer =
            headStatus_ == 401 || headStatus_ == 407 || (headStatus_ >= 300 && headStatus_ < 400);
        // When curl may answer a challenge or redirect on its own, the head is
        // final once its body starts or the transfer ends.
        if (!multiRound_ || !curlMayAnswer) headComplete_ = true;
        return size;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) return size;
    const std::string name = ToLowerCase(TrimBlanks(line.substr(0, colon)));
    const std::string value = TrimBlanks(line.substr(colon + 1));
    if (name == "content-length") {
        headContentLength_ = ParseUnsigned(value);
    } else if (name == "www-authenticate" &&
               authenticateHeaders_.size() < kMaxAuthenticateHeaders) {
        authenticateHeaders_.push_back(value);
    }
    return size;
}

size_t CHttpSender::OnBodyPiece(const char* data, size_t size) {
    if (!headComplete_ && headStatus_ != 0 && !inHeaderBlock_) headComplete_ = true;
    const size_t held = Buffered();
    if (held > 0 && held + size > kReadBufferCap) {
        paused_ = true;
        return IHttpTransfer::kPauseTransfer;
    }
    if (held == 0) bufferHead_ = bufferTail_ = 0;  // nothing to move later
    if (bufferTail_ + size > bufferSize_ && !MakeRoom(size)) {
        paused_ = noRoom_ = true;
        return IHttpTransfer::kPauseTransfer;
    }
    std::memcpy(buffer_.get() + bufferTail_, data, size);
    Appended(size);
    return size;
}

void CHttpSender::Appended(size_t size) {
    bufferTail_ += size;
    bytesSeen_ += size;
    bufferHighWater_ = std::max(bufferHighWater_, Buffered());
}

uint8_t* CHttpSender::BodyRoom(size_t& room) {
    room = 0;
    const size_t held = Buffered();
    if (held >= kReadBufferCap) return nullptr;    // the reader frees some first
    if (held == 0) bufferHead_ = bufferTail_ = 0;  // nothing to move later
    const size_t want = std::min(kDirectRead, kReadBufferCap - held);
    // Short of the budget, what fits in the storage will do.
    if (bufferTail_ + want > bufferSize_) MakeRoom(want);
    room = std::min(bufferSize_ - bufferTail_, want);
    if (room == 0) {
        noRoom_ = true;
        return nullptr;
    }
    return buffer_.get() + bufferTail_;
}

void CHttpSender::OnBodyWritten(size_t size) {
    if (!headComplete_ && headStatus_ != 0 && !inHeaderBlock_) headComplete_ = true;
    Appended(size);
    bytesDirect_ += size;
}

// Moving the held bytes to the front copies them again, so the storage grows
// until it is several times what a reader holds (a picture being received):
// then a move is rare and short. Growing copies too, but a stream grows a
// few times at its start only. A budget that refuses the doubling may still
// grant just the room asked for; the first piece's room is always granted,
// so that a stream moves at all.
bool CHttpSender::MakeRoom(size_t size) {
    const size_t held = Buffered();
    const bool tight = held + size > bufferSize_ || held * 4 > bufferSize_;
    size_t grown = 0;
    if (tight && bufferSize_ < kReadBufferCap) {
        const size_t needed = std::min(kReadBufferCap, std::max(held + size, kTransferChunk));
        grown = std::min(kReadBufferCap, StorageSize(std::max(bufferSize_ * 2, needed)));
        if (storageCharge_.GrowTo(grown)) {
            budgetRunTold_ = false;  // the budget no longer bounds this stream
        } else if (!(needed > bufferSize_ && storageCharge_.GrowTo(grown = needed))) {
            grown = 0;
            if (bufferSize_ < kTransferChunk) storageCharge_.ForceGrowTo(grown = kTransferChunk);
        }
    }
    if (grown > bufferSize_) {
        // Not zeroed: every byte read from it was written first.
        StoragePtr storage(AllocateStorage(grown));
        if (!storage) {
            storageCharge_.ShrinkTo(bufferSize_);
            throw std::bad_alloc();
        }
        if (held > 0) std::memcpy(storage.get(), buffer_.get() + bufferHead_, held);
        buffer_ = std::move(storage);
        bufferSize_ = grown;
    } else if (held > 0 && bufferHead_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + bufferHead_, held);
    }
    bufferHead_ = 0;
    bufferTail_ = held;
    return held + size <= bufferSize_;
}

}  // namespace Web
}  // namespace talvik

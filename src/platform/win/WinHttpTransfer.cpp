// IHttpTransfer on WinHTTP in synchronous mode. The blocking calls of a
// request (send, wait for the head, read the body) run on the transfer's
// worker thread; Perform takes what it brought on the owner's thread and
// Wait waits for the next, so that Wake ends a wait at once. The worker is
// parked between requests and ends with the transfer: a thread start and
// exit runs through every DLL of the host.
// A body goes straight into the sink's storage when the sink offers room:
// the owner asks for the room and hands it to the worker, which fills it
// read after read without waiting for the owner, and wakes the owner only
// when the owner waits and the connection has run dry (or the room is
// full, or the body ended), not once per read: under Wine a read brings
// 8 KiB at most, and a wake-up costs two thread switches and calls into the
// wineserver. A read never asks for more than the connection holds: a read
// that waits for bytes cannot be called off, and the sink's storage must
// not be written once the request is stopped. Other sinks, and a body in a
// transfer coding, get the body in pieces, each handed over and taken
// before the next read.
// Only the worker closes a request handle, once done with it: closing it
// under a synchronous call races the call, and the value of a closed handle
// goes to the next handle opened anywhere in the process (at once under
// Wine), so that a late call would read another camera's answer. Stop only
// marks the request given up; the worker leaves it at its next step. A
// worker still inside a call then (a silent camera) is left to end on the
// call's time-out, holding the request, its connection and session and the
// module loaded until then; the next request gets a new worker. A worker
// inside a read into the sink's storage is waited for: that read takes
// bytes that are there already.
// Synchronous rather than WinHTTP's asynchronous mode: one plain sequence of
// calls per request, and under Wine a closed handle ends neither mode's
// pending read before its time-out anyway.
// Digest is declined (kTransferNotBuiltIn): Wine's WinHTTP cannot answer it,
// so the sender answers the challenge with its own header, here as on every
// platform.
#include "platform/win/WinHttpTransfer.h"

#include <windows.h>
#include <winhttp.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HttpTransfer.h"
#include "platform/OsThread.h"

namespace talvik {
namespace Web {

namespace {

std::atomic<uint32_t> g_workersStarted{0};
std::atomic<WinHttpStepHook> g_stepHook{nullptr};

void Step(const char* step, HINTERNET request) {
    if (const WinHttpStepHook hook = g_stepHook) hook(step, request);
}

// Option numbers and flags as WinHTTP defines them.
constexpr DWORD kOptionReceiveTimeout = 6;
constexpr DWORD kOptionResolveTimeout = 2;
constexpr DWORD kOptionReceiveResponseTimeout = 7;
constexpr DWORD kOptionSendTimeout = 5;
constexpr DWORD kOptionConnectTimeout = 3;
constexpr DWORD kOptionMaxConnsPerServer = 73;
constexpr DWORD kOptionMaxConnsPer10Server = 74;
constexpr DWORD kOptionSecurityFlags = 31;
constexpr DWORD kOptionDisableFeature = 63;
constexpr DWORD kOptionSecureProtocols = 84;
constexpr DWORD kDisableRedirects = 2;
constexpr DWORD kIgnoreCertErrors = 0x3300;  // unknown CA, usage, common name, date
constexpr DWORD kFlagBypassProxyCache = 256;
constexpr DWORD kFlagNoQueryEscaping = 128;  // the sender escapes the target itself
constexpr DWORD kFlagSecure = 0x800000;
constexpr DWORD kAddOrReplace = 0xA0000000;
constexpr DWORD kAccessNoProxy = 1;
constexpr DWORD kMaxConnections = 16;
constexpr DWORD kTls10 = 0x80;
constexpr DWORD kTls12 = 0x800;
constexpr DWORD kTls13 = 0x2000;
// How long Stop waits for a worker to come out of a call (a body that is
// there already) before leaving it to the call's time-out.
constexpr auto kWorkerGrace = std::chrono::milliseconds(200);
constexpr size_t kMaxHead = 256 * 1024;
// A read into the sink's room that brought at least this much, and as much
// as any read of the body before it, filled what WinHTTP had read ahead:
// more is most likely there already, and the worker reads on before it
// wakes the owner. A shorter read means the connection ran dry.
constexpr DWORD kFullReadAhead = 8 * 1024;

// A session or connection handle, closed by the last of the transfer and the
// requests opened on it.
using Handle = std::shared_ptr<void>;

Handle Own(HINTERNET handle) {
    return Handle(handle, [](void* h) { WinHttpCloseHandle(h); });
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(std::max(n, 0)), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &out[0], n);
    return out;
}

// Header bytes come back widened one to one.
std::string Narrow(const wchar_t* text, size_t size) {
    std::string out(size, '?');
    for (size_t i = 0; i < size; ++i)
        if (text[i] < 0x100) out[i] = char(text[i]);
    return out;
}

uint32_t MapError(DWORD error, uint32_t otherwise) {
    switch (error) {
        case ERROR_WINHTTP_TIMEOUT:
            return kTransferTimedOut;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return kTransferCouldntConnect;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return kTransferCouldntResolveHost;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return kTransferWeirdServerReply;
        case ERROR_WINHTTP_OPERATION_CANCELLED:
        case ERROR_INVALID_HANDLE:
            return kTransferAborted;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_WINHTTP_OUT_OF_HANDLES:
            return kTransferOutOfMemory;
        case ERROR_WINHTTP_INVALID_URL:
            return kTransferUrlMalformed;
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            return kTransferUnsupportedProtocol;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
            return kTransferSslConnectError;
        default:
            return otherwise;
    }
}

struct Url {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring target;
};

// "http[s]://host[:port]/target" as the sender builds it.
bool ParseUrl(const std::string& url, Url& out) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos) return false;
    const std::string scheme = url.substr(0, sep);
    if (scheme != "http" && scheme != "https") return false;
    out.secure = scheme == "https";
    const size_t slash = url.find('/', sep + 3);
    std::string authority =
        url.substr(sep + 3, slash == std::string::npos ? slash : slash - sep - 3);
    out.target = Widen(slash == std::string::npos ? std::string("/") : url.substr(slash));
    unsigned long port = out.secure ? 443 : 80;
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        char* end = nullptr;
        port = std::strtoul(authority.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || port == 0 || port > 65535) return false;
        authority.resize(colon);
    }
    if (authority.size() >= 2 && authority.front() == '[' && authority.back() == ']')
        authority = authority.substr(1, authority.size() - 2);
    if (authority.empty()) return false;
    out.host = Widen(authority);
    out.port = INTERNET_PORT(port);
    return true;
}

// One request, shared by the transfer and the worker running it; the last
// to let go closes it, so never under a call of the worker.
struct Job {
    HINTERNET request = nullptr;
    Handle connection;  // what the request was opened on
    Handle session;
    bool secure = false;
    std::string body;

    enum class Body { kUndecided, kDirect, kPieces };

    std::mutex mutex;
    // The owner took the posted result, gave room or up.
    std::condition_variable taken;
    std::condition_variable left;  // the worker came out of a call
    HANDLE ready = nullptr;        // auto-reset: a result was posted, or Wake
    bool abandoned = false;
    bool inCall = false;
    bool inDirectRead = false;  // ... a read into the sink's room
    bool ownerWaiting = false;  // the owner waits on ready
    bool sent = false;
    bool headPosted = false;
    std::vector<std::string> head;
    // How the body goes to the sink; the owner decides when the worker
    // first wants room.
    Body bodyMode = Body::kUndecided;
    bool wantRoom = false;    // the worker has bytes to read and no room left
    uint8_t* room = nullptr;  // [room, room + roomSize): the sink's, given by the owner
    size_t roomSize = 0;
    size_t filled = 0;    // of it, written by the worker
    size_t reported = 0;  // of that, told to the sink
    DWORD largestRead = 0;
    bool piecePosted = false;
    std::vector<char> piece;
    size_t pieceSize = 0;
    bool finished = false;
    uint32_t result = kTransferOk;

    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job() {
        if (request) {
            Step("close", request);
            WinHttpCloseHandle(request);
        }
        if (ready) CloseHandle(ready);
    }

    // With the lock: the owner, if it waits, sees what was posted.
    void WakeOwner() {
        if (!ownerWaiting) return;
        ownerWaiting = false;
        SetEvent(ready);
    }

    // Before a call of the worker on the request: false (no call) when the
    // transfer gave the request up.
    bool Enter(const char* step, bool directRead = false) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (abandoned) return false;
            inCall = true;
            inDirectRead = directRead;
        }
        Step(step, request);
        return true;
    }
    void Leave() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            inCall = inDirectRead = false;
        }
        left.notify_all();
    }
    // False when the transfer gave the request up.
    bool Post(std::unique_lock<std::mutex>& lock) {
        SetEvent(ready);
        taken.wait(lock, [this] { return abandoned || (!headPosted && !piecePosted); });
        return !abandoned;
    }
    void Finish(uint32_t error) {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        result = error;
        SetEvent(ready);
    }
};

// The transfer's worker thread: what it shares with the transfer.
struct Worker {
    std::mutex mutex;
    std::condition_variable posted;
    std::shared_ptr<Job> next;  // not touched by the worker yet
    bool retired = false;       // ends once nothing is posted
};

struct WorkerStart {
    std::shared_ptr<Worker> worker;
    HMODULE module = nullptr;  // keeps this code loaded while the worker runs
};

// One WinHTTP call of the worker, unless the request was given up (false,
// with ERROR_WINHTTP_OPERATION_CANCELLED as the last error).
template <typename Call>
bool Run(Job& job, const char* step, Call call, bool directRead = false) {
    if (!job.Enter(step, directRead)) {
        SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
        return false;
    }
    const BOOL ok = call();
    const DWORD error = GetLastError();
    job.Leave();
    SetLastError(error);
    return ok != FALSE;
}

bool ReadHead(Job& job) {
    DWORD size = 0;
    Run(job, "headers", [&] {
        return WinHttpQueryHeaders(job.request, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                   WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                                   WINHTTP_NO_HEADER_INDEX);
    });
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > kMaxHead * 2)
        return false;
    std::vector<wchar_t> raw(size / sizeof(wchar_t) + 1);
    if (!Run(job, "headers", [&] {
            return WinHttpQueryHeaders(job.request, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                       WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &size,
                                       WINHTTP_NO_HEADER_INDEX);
        }))
        return false;
    const std::string text = Narrow(raw.data(), size / sizeof(wchar_t));
    std::vector<std::string> lines;
    bool coded = false;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at) + "\r\n");
        coded = coded || _strnicmp(text.c_str() + at, "transfer-encoding:", 18) == 0;
        at = end + 2;
    }
    lines.push_back("\r\n");
    std::unique_lock<std::mutex> lock(job.mutex);
    // The read that ends a chunk waits for the next one's head: not into
    // the sink's room, which Stop could not leave then.
    if (coded) job.bodyMode = Job::Body::kPieces;
    job.head = std::move(lines);
    job.headPosted = true;
    return job.Post(lock);
}

void RunJob(Job& job) {
    void* body = job.body.empty() ? WINHTTP_NO_REQUEST_DATA : &job.body[0];
    const DWORD bodySize = DWORD(job.body.size());
    if (!Run(job, "send", [&] {
            return WinHttpSendRequest(job.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, bodySize,
                                      bodySize, 0);
        }))
        return job.Finish(MapError(GetLastError(), kTransferSendError));
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.sent = true;
    }
    if (!Run(job, "receive", [&] { return WinHttpReceiveResponse(job.request, nullptr); })) {
        uint32_t error = MapError(GetLastError(), kTransferRecvError);
        // WinHTTP names a connection closed without a word the same as an
        // answer that is not HTTP; on a plain request either is most likely
        // a device that speaks only TLS, which the sender then tries.
        if (error == kTransferWeirdServerReply && !job.secure) error = kTransferGotNothing;
        return job.Finish(error);
    }
    if (!ReadHead(job)) return job.Finish(kTransferWeirdServerReply);
    for (;;) {
        DWORD available = 0;
        if (!Run(job, "query", [&] { return WinHttpQueryDataAvailable(job.request, &available); }))
            return job.Finish(MapError(GetLastError(), kTransferRecvError));
        if (available == 0) return job.Finish(kTransferOk);
        uint8_t* at = nullptr;
        size_t room = 0;
        {
            std::unique_lock<std::mutex> lock(job.mutex);
            if (job.bodyMode != Job::Body::kPieces && job.filled == job.roomSize) {
                job.wantRoom = true;
                job.WakeOwner();
                // Without room the connection is not read: TCP holds the
                // camera back until the reader frees some.
                job.taken.wait(lock, [&job] { return job.abandoned || !job.wantRoom; });
                if (job.abandoned) return;
            }
            if (job.bodyMode == Job::Body::kDirect) {
                at = job.room + job.filled;
                room = job.roomSize - job.filled;
            }
        }
        // Never more than announced: a read waits to fill its buffer.
        if (at) {
            const DWORD want = DWORD(std::min<size_t>(available, room));
            DWORD got = 0;
            if (!Run(
                    job, "read", [&] { return WinHttpReadData(job.request, at, want, &got); },
                    true))
                return job.Finish(MapError(GetLastError(), kTransferRecvError));
            if (got == 0) return job.Finish(kTransferOk);
            std::lock_guard<std::mutex> lock(job.mutex);
            job.filled += got;
            const bool more = got >= kFullReadAhead && got >= job.largestRead;
            job.largestRead = std::max(job.largestRead, got);
            if (!more) job.WakeOwner();
            continue;
        }
        job.piece.resize(IHttpTransfer::kMaxBodyPiece);
        const DWORD want = DWORD(std::min<size_t>(available, job.piece.size()));
        DWORD got = 0;
        if (!Run(job, "read",
                 [&] { return WinHttpReadData(job.request, job.piece.data(), want, &got); }))
            return job.Finish(MapError(GetLastError(), kTransferRecvError));
        if (got == 0) return job.Finish(kTransferOk);
        std::unique_lock<std::mutex> lock(job.mutex);
        job.pieceSize = got;
        job.piecePosted = true;
        if (!job.Post(lock)) return;
    }
}

// Runs what the transfer posts, one request after the other, until retired.
void RunWorker(Worker& worker) {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(worker.mutex);
            worker.posted.wait(lock, [&] { return worker.next || worker.retired; });
            if (!worker.next) return;
            job = std::move(worker.next);
        }
        try {
            RunJob(*job);
        } catch (...) {  // allocation only
            job->Finish(kTransferOutOfMemory);
        }
        Step("done", job->request);
    }
}

DWORD WINAPI WorkerMain(void* arg) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
    ++g_workersStarted;
    try {
        RunWorker(*start->worker);
    } catch (...) {  // a lock that failed: what the worker held goes with it
    }
    const HMODULE module = start->module;
    start.reset();
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

class WinHttpTransfer : public IHttpTransfer {
public:
    WinHttpTransfer() : wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~WinHttpTransfer() override {
        Stop();
        RetireWorker();
        connection_.reset();  // closed here unless a lingering request still holds them
        session_.reset();
        if (wake_) CloseHandle(wake_);
    }
    WinHttpTransfer(const WinHttpTransfer&) = delete;
    WinHttpTransfer& operator=(const WinHttpTransfer&) = delete;

    uint32_t Start(const TransferSettings& settings, IHttpTransferSink* sink) override {
        Stop();
        try {
            return StartInner(settings, sink);
        } catch (...) {  // allocation only
            Stop();
            return kTransferOutOfMemory;
        }
    }

    void Stop() override {
        if (!job_) return;
        bool inCall;
        {
            std::unique_lock<std::mutex> lock(job_->mutex);
            job_->abandoned = true;
            job_->taken.notify_all();
            Job& job = *job_;
            inCall = !job.left.wait_for(lock, kWorkerGrace, [&job] { return !job.inCall; });
            // The sink's room may go once Stop returns.
            if (inCall && job.inDirectRead) {
                job.left.wait(lock, [&job] { return !job.inDirectRead; });
                inCall = job.inCall;
            }
        }
        if (inCall) RetireWorker();
        job_.reset();
        paused_ = false;
        headDelivered_ = false;
        starved_ = false;
    }

    bool Perform(bool& done, uint32_t& result) override {
        if (!job_) return true;
        try {
            return PerformInner(done, result);
        } catch (...) {  // allocation only
            done = true;
            result = kTransferOutOfMemory;
            return true;
        }
    }

    void Wait(int timeoutMs) override {
        if (!job_) return;
        {
            std::lock_guard<std::mutex> lock(job_->mutex);
            if (ReadyLocked()) return;
            job_->ownerWaiting = true;
        }
        HANDLE events[2] = {job_->ready, wake_};
        WaitForMultipleObjects(wake_ ? 2 : 1, events, FALSE, DWORD(std::max(timeoutMs, 0)));
        std::lock_guard<std::mutex> lock(job_->mutex);
        job_->ownerWaiting = false;
    }

    void Wake() override {
        if (wake_) SetEvent(wake_);
    }

    void Resume() override {
        if (!paused_ || !job_) return;
        paused_ = false;
        SetEvent(job_->ready);
    }

    bool RequestSent() override {
        if (!job_) return false;
        std::lock_guard<std::mutex> lock(job_->mutex);
        return job_->sent;
    }

    std::string ErrorText(uint32_t error) override {
        switch (error) {
            case kTransferOk:
                return "No error";
            case kTransferTimedOut:
                return "Timeout was reached";
            case kTransferCouldntConnect:
                return "Couldn't connect to server";
            case kTransferCouldntResolveHost:
                return "Couldn't resolve host name";
            case kTransferWeirdServerReply:
                return "Weird server reply";
            case kTransferAborted:
                return "Operation was aborted";
            case kTransferOutOfMemory:
                return "Out of memory";
            case kTransferSslConnectError:
                return "SSL connect error";
            case kTransferSendError:
                return "Failed sending data to the peer";
            case kTransferRecvError:
                return "Failure when receiving data from the peer";
            case kTransferNotBuiltIn:
                return "A requested feature, protocol or option was not found built-in";
            default:
                return "Transfer failed";
        }
    }

private:
    // A result is ready for Perform.
    bool ReadyLocked() const {
        return (job_->headPosted && !headDelivered_) || (job_->piecePosted && !paused_) ||
               job_->filled > job_->reported || (job_->wantRoom && !starved_) || job_->finished;
    }

    // Leaves the worker to end once it is done with what it runs.
    void RetireWorker() {
        if (!worker_) return;
        {
            std::lock_guard<std::mutex> lock(worker_->mutex);
            worker_->retired = true;
        }
        worker_->posted.notify_all();
        worker_.reset();
    }

    bool OpenSession(const TransferSettings& s) {
        const DWORD timeoutMs = DWORD(std::max(s.connectTimeoutMs, 0L));
        if (!session_) {
            HINTERNET session = WinHttpOpen(Widen(s.userAgent).c_str(), kAccessNoProxy,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
            if (!session) return false;
            session_ = Own(session);
            sessionTimeoutMs_ = ~DWORD{0};
            // TLS 1.2, and 1.3 where the system has it (older systems refuse
            // the flag); never SSL. A system without TLS 1.2 in WinHTTP gets
            // TLS 1.0 alone rather than its default, which offers SSL 3.
            for (DWORD protocols : {kTls12 | kTls13, kTls12, kTls10}) {
                if (WinHttpSetOption(session, kOptionSecureProtocols, &protocols, sizeof protocols))
                    break;
            }
        }
        if (timeoutMs != sessionTimeoutMs_) {
            bool ok = true;
            for (DWORD option :
                 {kOptionReceiveTimeout, kOptionResolveTimeout, kOptionReceiveResponseTimeout,
                  kOptionSendTimeout, kOptionConnectTimeout})
                ok = ok &&
                     WinHttpSetOption(session_.get(), option, (void*)&timeoutMs, sizeof timeoutMs);
            DWORD connections = kMaxConnections;
            WinHttpSetOption(session_.get(), kOptionMaxConnsPerServer, &connections,
                             sizeof connections);
            WinHttpSetOption(session_.get(), kOptionMaxConnsPer10Server, &connections,
                             sizeof connections);
            if (ok) sessionTimeoutMs_ = timeoutMs;
        }
        return true;
    }

    uint32_t Connect(const Url& url) {
        if (connection_ && (url.host != connectedHost_ || url.port != connectedPort_))
            connection_.reset();
        if (!connection_) {
            HINTERNET connection = WinHttpConnect(session_.get(), url.host.c_str(), url.port, 0);
            if (!connection) return MapError(GetLastError(), kTransferCouldntConnect);
            connection_ = Own(connection);
        }
        connectedHost_ = url.host;
        connectedPort_ = url.port;
        return kTransferOk;
    }

    static DWORD SchemeOf(TransferAuth auth) {
        switch (auth) {
            case TransferAuth::kBasic:
                return WINHTTP_AUTH_SCHEME_BASIC;
            case TransferAuth::kNtlm:
                return WINHTTP_AUTH_SCHEME_NTLM;
            case TransferAuth::kNegotiate:
                return WINHTTP_AUTH_SCHEME_NEGOTIATE;
            default:
                return 0;
        }
    }

    uint32_t Prepare(const TransferSettings& s, HINTERNET request, bool secure) {
        if (s.auth == TransferAuth::kDigest) return kTransferNotBuiltIn;
        if (s.auth != TransferAuth::kNone) {
            const std::wstring user = Widen(s.userName ? *s.userName : std::string());
            const std::wstring password = Widen(s.password ? *s.password : std::string());
            if (!WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_SERVER, SchemeOf(s.auth),
                                       user.c_str(), password.c_str(), nullptr))
                return kTransferBadArgument;
        }
        if (secure && s.ignoreCertErrors) {
            DWORD flags = kIgnoreCertErrors;
            if (!WinHttpSetOption(request, kOptionSecurityFlags, &flags, sizeof flags))
                return kTransferBadArgument;
        }
        if (!s.followRedirects) {
            DWORD feature = kDisableRedirects;
            if (!WinHttpSetOption(request, kOptionDisableFeature, &feature, sizeof feature))
                return kTransferBadArgument;
        }
        for (const std::string& line : s.headers) {
            if (!WinHttpAddRequestHeaders(request, Widen(line).c_str(), DWORD(-1L), kAddOrReplace))
                return kTransferBadArgument;
        }
        return kTransferOk;
    }

    uint32_t StartInner(const TransferSettings& s, IHttpTransferSink* sink) {
        Url url;
        if (!ParseUrl(s.url, url)) return kTransferUrlMalformed;
        if (!OpenSession(s)) return kTransferFailedInit;
        uint32_t rc = Connect(url);
        if (rc != kTransferOk) return rc;
        const DWORD flags =
            kFlagBypassProxyCache | kFlagNoQueryEscaping | (url.secure ? kFlagSecure : 0);
        auto job = std::make_shared<Job>();
        job->connection = connection_;
        job->session = session_;
        job->request =
            WinHttpOpenRequest(connection_.get(), Widen(s.verb).c_str(), url.target.c_str(),
                               nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (!job->request) return MapError(GetLastError(), kTransferFailedInit);
        Step("open", job->request);
        job->secure = url.secure;
        job->ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        rc = job->ready ? Prepare(s, job->request, url.secure) : kTransferFailedInit;
        if (rc == kTransferOk && s.body) job->body = *s.body;
        if (rc != kTransferOk) return rc;
        if (!worker_ && !StartWorker()) return kTransferFailedInit;
        std::shared_ptr<Job> unrun;  // posted and stopped before the worker came to it
        {
            std::lock_guard<std::mutex> lock(worker_->mutex);
            unrun = std::move(worker_->next);
            worker_->next = job;
        }
        worker_->posted.notify_all();
        job_ = std::move(job);
        sink_ = sink;
        return kTransferOk;
    }

    bool StartWorker() {
        auto worker = std::make_shared<Worker>();
        auto start = std::make_unique<WorkerStart>();
        start->worker = worker;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&WorkerMain)),
                           &start->module);
        HANDLE thread = CreateThread(nullptr, kThreadStackReserve, &WorkerMain, start.get(),
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (!thread) {
            if (start->module) FreeLibrary(start->module);
            return false;
        }
        start.release();
        CloseHandle(thread);
        worker_ = std::move(worker);
        return true;
    }

    bool PerformInner(bool& done, uint32_t& result) {
        std::unique_lock<std::mutex> lock(job_->mutex);
        if (job_->headPosted && !headDelivered_) {
            const std::vector<std::string> lines = std::move(job_->head);
            headDelivered_ = true;
            lock.unlock();
            for (const std::string& line : lines) {
                if (sink_->OnHeaderLine(line.data(), line.size()) != line.size())
                    return Fail(done, result);
            }
            lock.lock();
            job_->headPosted = false;
            job_->taken.notify_all();
        }
        if (job_->filled > job_->reported || job_->wantRoom) {
            // While the worker waits for room, what it filled is final and
            // the room is the sink's again.
            const bool waits = job_->wantRoom;
            const size_t written = job_->filled - job_->reported;
            job_->reported = job_->filled;
            lock.unlock();
            if (written > 0) sink_->OnBodyWritten(written);
            size_t room = 0;
            uint8_t* const at = waits ? sink_->BodyRoom(room) : nullptr;
            lock.lock();
            if (waits) Give(at, room);
        }
        if (job_->piecePosted && !paused_) {
            const size_t size = job_->pieceSize;
            lock.unlock();  // the worker waits until the piece is taken
            const size_t taken = sink_->OnBodyPiece(job_->piece.data(), size);
            if (taken == kPauseTransfer) {
                paused_ = true;
                return true;
            }
            if (taken != size) return Fail(done, result);
            lock.lock();
            job_->piecePosted = false;
            job_->taken.notify_all();
        }
        if (job_->finished && !job_->headPosted && !job_->piecePosted &&
            job_->filled == job_->reported) {
            done = true;
            result = job_->result;
        }
        return true;
    }

    // The worker's next room, or none (the sink is full: the worker waits
    // until the reader frees some). A sink that has none to begin with
    // takes the body in pieces.
    void Give(uint8_t* at, size_t room) {
        starved_ = at == nullptr || room == 0;
        if (job_->bodyMode == Job::Body::kUndecided)
            job_->bodyMode = starved_ ? Job::Body::kPieces : Job::Body::kDirect;
        if (job_->bodyMode == Job::Body::kPieces) {
            starved_ = false;
        } else if (starved_) {
            return;
        } else {
            job_->room = at;
            job_->roomSize = room;
            job_->filled = job_->reported = 0;
        }
        job_->wantRoom = false;
        job_->taken.notify_all();
    }

    bool Fail(bool& done, uint32_t& result) {
        done = true;
        result = kTransferAborted;
        return true;
    }

    Handle session_;
    DWORD sessionTimeoutMs_ = ~DWORD{0};
    Handle connection_;  // kept while the host and port stay
    std::wstring connectedHost_;
    INTERNET_PORT connectedPort_ = 0;
    std::shared_ptr<Job> job_;
    std::shared_ptr<Worker> worker_;  // parked between requests
    // Wake's event, for the transfer's life: a job's own event may go with
    // the job while another thread wakes.
    HANDLE wake_ = nullptr;
    IHttpTransferSink* sink_ = nullptr;
    bool paused_ = false;
    bool headDelivered_ = false;
    bool starved_ = false;  // the sink had no room the last time it was asked
};

}  // namespace

uint32_t WinHttpWorkersStarted() {
    return g_workersStarted;
}

void SetWinHttpStepHook(WinHttpStepHook hook) {
    g_stepHook = hook;
}

std::unique_ptr<IHttpTransfer> CreateHttpTransfer() {
    return std::unique_ptr<IHttpTransfer>(new WinHttpTransfer());
}

}  // namespace Web
}  // namespace talvik

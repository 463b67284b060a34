// IHttpTransfer on libcurl: an easy handle driven through its own multi
// handle.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "ThreadCancel.h"
#include "platform/HttpTransfer.h"

namespace talvik {
namespace Web {

namespace {

constexpr bool Same(TransferError ours, CURLcode theirs) {
    return static_cast<uint32_t>(ours) == static_cast<uint32_t>(theirs);
}

static_assert(Same(kTransferUnsupportedProtocol, CURLE_UNSUPPORTED_PROTOCOL) &&
                  Same(kTransferFailedInit, CURLE_FAILED_INIT) &&
                  Same(kTransferUrlMalformed, CURLE_URL_MALFORMAT) &&
                  Same(kTransferNotBuiltIn, CURLE_NOT_BUILT_IN) &&
                  Same(kTransferCouldntResolveHost, CURLE_COULDNT_RESOLVE_HOST) &&
                  Same(kTransferCouldntConnect, CURLE_COULDNT_CONNECT) &&
                  Same(kTransferWeirdServerReply, CURLE_WEIRD_SERVER_REPLY) &&
                  Same(kTransferOutOfMemory, CURLE_OUT_OF_MEMORY) &&
                  Same(kTransferTimedOut, CURLE_OPERATION_TIMEDOUT) &&
                  Same(kTransferSslConnectError, CURLE_SSL_CONNECT_ERROR) &&
                  Same(kTransferAborted, CURLE_ABORTED_BY_CALLBACK) &&
                  Same(kTransferBadArgument, CURLE_BAD_FUNCTION_ARGUMENT) &&
                  Same(kTransferGotNothing, CURLE_GOT_NOTHING) &&
                  Same(kTransferSendError, CURLE_SEND_ERROR) &&
                  Same(kTransferRecvError, CURLE_RECV_ERROR),
              "transfer errors keep curl's numbers");
// A piece is one recv: larger than curl's default so that a picture takes
// few calls, small enough to stay in the processor's cache (32 KiB took
// more calls for no gain; 128 KiB measured slower, 512 KiB, one recv per
// 1080p picture, about 1.5 times the CPU per picture).
static_assert(IHttpTransfer::kMaxBodyPiece >= CURL_MAX_WRITE_SIZE &&
                  IHttpTransfer::kMaxBodyPiece <= CURL_MAX_READ_SIZE,
              "curl's receive buffer size must stay within its limits");

std::once_flag g_curlInit;

class CurlTransfer : public IHttpTransfer {
public:
    CurlTransfer() {
        std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        session_ = curl_multi_init();
        if (session_) curl_multi_setopt(session_, CURLMOPT_MAX_HOST_CONNECTIONS, 16L);
        wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~CurlTransfer() override {
        Stop();
        if (connection_) curl_easy_cleanup(connection_);
        if (session_) curl_multi_cleanup(session_);
        if (wakeFd_ >= 0) close(wakeFd_);
    }
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    uint32_t Start(const TransferSettings& settings, IHttpTransferSink* sink) override {
        Stop();
        if (!session_) return kTransferFailedInit;
        if (!connection_) connection_ = curl_easy_init();
        if (!connection_) return kTransferFailedInit;
        sink_ = sink;
        headDone_ = framed_ = pieceHeld_ = false;
        // Nothing of the request may still be on its way when curl stops
        // driving the connection.
        mayTakeOver_ =
            settings.verb == "GET" && (settings.body == nullptr || settings.body->empty());
        curl_easy_reset(connection_);
        CURLcode rc = SetCommon(settings);
        if (rc == CURLE_OK) rc = SetVerb(settings);
        if (rc == CURLE_OK) rc = SetAuth(settings);
        if (rc == CURLE_OK) rc = SetHeaders(settings.headers);
        if (rc != CURLE_OK) {
            Stop();
            return rc;
        }
        if (curl_multi_add_handle(session_, connection_) != CURLM_OK) {
            Stop();
            return kTransferFailedInit;
        }
        attached_ = true;
        return kTransferOk;
    }

    void Stop() override {
        // A body read directly is unfinished for curl, which therefore closes
        // the connection instead of keeping it for the next request.
        if (attached_) curl_multi_remove_handle(session_, connection_);
        attached_ = false;
        direct_ = CURL_SOCKET_BAD;
        directDone_ = starved_ = false;
        if (headerList_) curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }

    bool Perform(bool& done, uint32_t& result) override {
        if (direct_ != CURL_SOCKET_BAD) return ReadDirectly(done, result);
        int running = 0;
        if (curl_multi_perform(session_, &running) != CURLM_OK) return false;
        int queued = 0;
        bool ended = false;
        while (CURLMsg* msg = curl_multi_info_read(session_, &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == connection_) {
                done = ended = true;
                result = static_cast<uint32_t>(msg->data.result);
            }
        }
        if (!ended) TakeOverBody();
        return true;
    }

    void Wait(int timeoutMs) override {
        if (direct_ == CURL_SOCKET_BAD) {
            curl_multi_poll(session_, nullptr, 0, timeoutMs, nullptr);
            return;
        }
        // While the sink has no room the connection is not watched: TCP
        // holds the camera back until the reader frees some.
        pollfd watched[2] = {{wakeFd_, POLLIN, 0},
                             {starved_ || directDone_ ? -1 : direct_, POLLIN, 0}};
        if (poll(watched, 2, timeoutMs) > 0 && (watched[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            if (read(wakeFd_, &count, sizeof count) < 0) count = 0;
        }
    }

    void Wake() override {
        if (session_) curl_multi_wakeup(session_);
        const uint64_t one = 1;
        if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof one) < 0) return;
    }

    // May hand over the held piece at once.
    void Resume() override {
        pieceHeld_ = false;
        if (attached_ && direct_ == CURL_SOCKET_BAD) curl_easy_pause(connection_, CURLPAUSE_CONT);
    }

    bool RequestSent() override {
        curl_off_t sentAt = 0;
        if (connection_) curl_easy_getinfo(connection_, CURLINFO_PRETRANSFER_TIME_T, &sentAt);
        return sentAt > 0;
    }

    std::string ErrorText(uint32_t error) override {
        return curl_easy_strerror(static_cast<CURLcode>(error));
    }

private:
    // A plain, unframed body (read until the camera closes: an MJPEG stream)
    // is read from the connection into the sink's storage from here on,
    // without the copy through curl's buffer. Curl has handed over every
    // byte it read when perform returns, unless the sink paused a piece.
    void TakeOverBody() {
        if (!attached_ || !mayTakeOver_ || !headDone_ || framed_ || pieceHeld_) return;
        long status = 0;
        char* scheme = nullptr;
        if (curl_easy_getinfo(connection_, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status < 200 || status >= 300 || status == 204 || status == 205)
            return;
        if (curl_easy_getinfo(connection_, CURLINFO_SCHEME, &scheme) != CURLE_OK ||
            scheme == nullptr || strcasecmp(scheme, "http") != 0)
            return;
        const curl_socket_t socket = TransferSocket();
        if (socket == CURL_SOCKET_BAD) return;
        size_t room = 0;
        if (sink_->BodyRoom(room) == nullptr) return;
        direct_ = socket;
    }

    // Curl names a transfer's socket only once the transfer is over: the one
    // of the sockets it opened whose two ends are the transfer's.
    curl_socket_t TransferSocket() {
        long localPort = 0;
        long peerPort = 0;
        char* localIp = nullptr;
        char* peerIp = nullptr;
        if (curl_easy_getinfo(connection_, CURLINFO_LOCAL_PORT, &localPort) != CURLE_OK ||
            curl_easy_getinfo(connection_, CURLINFO_PRIMARY_PORT, &peerPort) != CURLE_OK ||
            curl_easy_getinfo(connection_, CURLINFO_LOCAL_IP, &localIp) != CURLE_OK ||
            curl_easy_getinfo(connection_, CURLINFO_PRIMARY_IP, &peerIp) != CURLE_OK ||
            localPort <= 0 || peerPort <= 0 || localIp == nullptr || peerIp == nullptr)
            return CURL_SOCKET_BAD;
        curl_socket_t found = CURL_SOCKET_BAD;
        for (const curl_socket_t candidate : opened_) {
            if (candidate == CURL_SOCKET_BAD) continue;
            sockaddr_storage local{};
            sockaddr_storage peer{};
            socklen_t localSize = sizeof local;
            socklen_t peerSize = sizeof peer;
            if (getsockname(candidate, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
                getpeername(candidate, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
                continue;
            if (!SameEnd(local, localIp, localPort) || !SameEnd(peer, peerIp, peerPort)) continue;
            if (found != CURL_SOCKET_BAD && found != candidate) return CURL_SOCKET_BAD;
            found = candidate;
        }
        return found;
    }

    static bool SameEnd(const sockaddr_storage& address, const char* ip, long port) {
        char text[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET) {
            const sockaddr_in& v4 = reinterpret_cast<const sockaddr_in&>(address);
            return ntohs(v4.sin_port) == port &&
                   inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) != nullptr &&
                   strcmp(text, ip) == 0;
        }
        if (address.ss_family == AF_INET6) {
            const sockaddr_in6& v6 = reinterpret_cast<const sockaddr_in6&>(address);
            return ntohs(v6.sin6_port) == port &&
                   inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) != nullptr &&
                   strcmp(text, ip) == 0;
        }
        return false;
    }

    // The last sockets curl opened; a number the system gave again to
    // another socket is told apart by its ends.
    static int OnSocketOpened(void* self, curl_socket_t socket, curlsocktype) {
        CurlTransfer* transfer = static_cast<CurlTransfer*>(self);
        transfer->opened_[transfer->nextOpened_++ % kOpenedKept] = socket;
        return CURL_SOCKOPT_OK;
    }

    bool ReadDirectly(bool& done, uint32_t& result) {
        if (directDone_) return true;
        try {
            // One read a call, so that the reader sees each piece as it comes.
            for (;;) {
                size_t room = 0;
                uint8_t* at = sink_->BodyRoom(room);
                starved_ = at == nullptr || room == 0;
                if (starved_) return true;
                const ssize_t got = recv(direct_, at, room, MSG_DONTWAIT);
                if (got > 0) {
                    sink_->OnBodyWritten(static_cast<size_t>(got));
                    return true;
                }
                if (got < 0 && errno == EINTR) continue;
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
                // The camera closed the connection (the end of an unframed
                // body) or it failed.
                result = got == 0 ? kTransferOk : kTransferRecvError;
                break;
            }
        } catch (...) {  // the sink's storage could not grow
            RethrowThreadCancellation();
            result = kTransferOutOfMemory;
        }
        done = directDone_ = true;
        return true;
    }

    template <typename T>
    CURLcode Set(CURLcode rc, CURLoption option, T value) {
        return rc == CURLE_OK ? curl_easy_setopt(connection_, option, value) : rc;
    }

    CURLcode SetCommon(const TransferSettings& s) {
        CURLcode rc = CURLE_OK;
        rc = Set(rc, CURLOPT_URL, s.url.c_str());
        rc = Set(rc, CURLOPT_USERAGENT, s.userAgent);
        rc = Set(rc, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
        rc = Set(rc, CURLOPT_NOSIGNAL, 1L);
        rc = Set(rc, CURLOPT_PATH_AS_IS, 1L);
        rc = Set(rc, CURLOPT_PROTOCOLS_STR, "http,https");
        rc = Set(rc, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        rc = Set(rc, CURLOPT_CONNECTTIMEOUT_MS, s.connectTimeoutMs);
        rc = Set(rc, CURLOPT_BUFFERSIZE, static_cast<long>(kMaxBodyPiece));
        rc = Set(rc, CURLOPT_HEADERFUNCTION, &CurlTransfer::OnHeader);
        rc = Set(rc, CURLOPT_HEADERDATA, static_cast<void*>(this));
        rc = Set(rc, CURLOPT_WRITEFUNCTION, &CurlTransfer::OnBody);
        rc = Set(rc, CURLOPT_WRITEDATA, static_cast<void*>(this));
        rc = Set(rc, CURLOPT_SOCKOPTFUNCTION, &CurlTransfer::OnSocketOpened);
        rc = Set(rc, CURLOPT_SOCKOPTDATA, static_cast<void*>(this));
        if (!s.followRedirects) {
            rc = Set(rc, CURLOPT_FOLLOWLOCATION, 0L);
        } else {
            rc = Set(rc, CURLOPT_FOLLOWLOCATION, 1L);
            rc = Set(rc, CURLOPT_MAXREDIRS, 10L);
            rc = Set(rc, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        }
        if (s.ignoreCertErrors) {
            rc = Set(rc, CURLOPT_SSL_VERIFYPEER, 0L);
            rc = Set(rc, CURLOPT_SSL_VERIFYHOST, 0L);
        }
        return rc;
    }

    CURLcode SetVerb(const TransferSettings& s) {
        CURLcode rc = CURLE_OK;
        if (s.body != nullptr && !s.body->empty()) {
            rc = Set(rc, CURLOPT_POSTFIELDS, s.body->data());
            rc = Set(rc, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(s.body->size()));
            if (s.verb != "POST") rc = Set(rc, CURLOPT_CUSTOMREQUEST, s.verb.c_str());
        } else if (s.verb == "HEAD") {
            rc = Set(rc, CURLOPT_NOBODY, 1L);
        } else if (s.verb != "GET") {
            rc = Set(rc, CURLOPT_CUSTOMREQUEST, s.verb.c_str());
        }
        return rc;
    }

    CURLcode SetAuth(const TransferSettings& s) {
        unsigned long mask = 0;
        switch (s.auth) {
            case TransferAuth::kNone:
                return CURLE_OK;
            case TransferAuth::kBasic:
                mask = CURLAUTH_BASIC;
                break;
            case TransferAuth::kNtlm:
                mask = CURLAUTH_NTLM;
                break;
            case TransferAuth::kNegotiate:
                mask = CURLAUTH_NEGOTIATE;
                break;
            case TransferAuth::kDigest:
                mask = CURLAUTH_DIGEST;
                break;
        }
        CURLcode rc = Set(CURLE_OK, CURLOPT_HTTPAUTH, mask);
        if (s.userName != nullptr) rc = Set(rc, CURLOPT_USERNAME, s.userName->c_str());
        if (s.password != nullptr) rc = Set(rc, CURLOPT_PASSWORD, s.password->c_str());
        return rc;
    }

    CURLcode SetHeaders(const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            curl_slist* list = curl_slist_append(headerList_, line.c_str());
            if (!list) return CURLE_OUT_OF_MEMORY;
            headerList_ = list;
        }
        return headerList_ ? Set(CURLE_OK, CURLOPT_HTTPHEADER, headerList_) : CURLE_OK;
    }

    // Nothing may unwind through curl's C frames: a failure ends the transfer.
    // Whether the head ended, and whether it frames the body (a length or a
    // coding that the reader must not see raw).
    void NoteHeader(const char* data, size_t size) {
        if (size >= 5 && strncasecmp(data, "HTTP/", 5) == 0) {
            headDone_ = framed_ = false;
        } else if (size <= 2 && (size == 0 || data[0] == '\r' || data[0] == '\n')) {
            headDone_ = true;
        } else {
            for (const char* name : {"content-length:", "transfer-encoding:", "content-encoding:"})
                if (size >= strlen(name) && strncasecmp(data, name, strlen(name)) == 0)
                    framed_ = true;
        }
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        try {
            static_cast<CurlTransfer*>(self)->NoteHeader(data, size * count);
            return static_cast<CurlTransfer*>(self)->sink_->OnHeaderLine(data, size * count);
        } catch (...) {
            RethrowThreadCancellation();
            return 0;
        }
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        try {
            CurlTransfer* transfer = static_cast<CurlTransfer*>(self);
            const size_t taken = transfer->sink_->OnBodyPiece(data, size * count);
            if (taken != kPauseTransfer) return taken;
            transfer->pieceHeld_ = true;
            return CURL_WRITEFUNC_PAUSE;
        } catch (...) {
            RethrowThreadCancellation();
            return 0;
        }
    }

    CURLM* session_ = nullptr;    // owns the connection cache
    CURL* connection_ = nullptr;  // created on the first request
    bool attached_ = false;       // connection_ is in session_
    curl_slist* headerList_ = nullptr;
    IHttpTransferSink* sink_ = nullptr;
    bool mayTakeOver_ = false;                // a GET without a body
    bool headDone_ = false;                   // the last head's blank line came
    bool framed_ = false;                     // it announced a length or a coding
    bool pieceHeld_ = false;                  // curl holds a piece the sink paused
    curl_socket_t direct_ = CURL_SOCKET_BAD;  // the body is read from it directly
    bool directDone_ = false;                 // ... up to its end, reported
    bool starved_ = false;                    // ... and the sink has no room
    int wakeFd_ = -1;                         // ends a direct Wait
    static constexpr size_t kOpenedKept = 8;
    curl_socket_t opened_[kOpenedKept] = {CURL_SOCKET_BAD, CURL_SOCKET_BAD, CURL_SOCKET_BAD,
                                          CURL_SOCKET_BAD, CURL_SOCKET_BAD, CURL_SOCKET_BAD,
                                          CURL_SOCKET_BAD, CURL_SOCKET_BAD};
    size_t nextOpened_ = 0;
};

}  // namespace

std::unique_ptr<IHttpTransfer> CreateHttpTransfer() {
    return std::unique_ptr<IHttpTransfer>(new CurlTransfer());
}

}  // namespace Web
}  // namespace talvik

// IHttpTransfer on libcurl: an easy handle driven through its own multi
// handle.
#include <curl/curl.h>

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
    }
    ~CurlTransfer() override {
        Stop();
        if (connection_) curl_easy_cleanup(connection_);
        if (session_) curl_multi_cleanup(session_);
    }
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    uint32_t Start(const TransferSettings& settings, IHttpTransferSink* sink) override {
        Stop();
        if (!session_) return kTransferFailedInit;
        if (!connection_) connection_ = curl_easy_init();
        if (!connection_) return kTransferFailedInit;
        sink_ = sink;
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
        if (attached_) curl_multi_remove_handle(session_, connection_);
        attached_ = false;
        if (headerList_) curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }

    bool Perform(bool& done, uint32_t& result) override {
        int running = 0;
        if (curl_multi_perform(session_, &running) != CURLM_OK) return false;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(session_, &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == connection_) {
                done = true;
                result = static_cast<uint32_t>(msg->data.result);
            }
        }
        return true;
    }

    void Wait(int timeoutMs) override { curl_multi_poll(session_, nullptr, 0, timeoutMs, nullptr); }

    void Wake() override {
        if (session_) curl_multi_wakeup(session_);
    }

    // May hand over the held piece at once.
    void Resume() override {
        if (attached_) curl_easy_pause(connection_, CURLPAUSE_CONT);
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
    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        try {
            return static_cast<CurlTransfer*>(self)->sink_->OnHeaderLine(data, size * count);
        } catch (...) {
            RethrowThreadCancellation();
            return 0;
        }
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        try {
            const size_t taken =
                static_cast<CurlTransfer*>(self)->sink_->OnBodyPiece(data, size * count);
            return taken == kPauseTransfer ? CURL_WRITEFUNC_PAUSE : taken;
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
};

}  // namespace

std::unique_ptr<IHttpTransfer> CreateHttpTransfer() {
    return std::unique_ptr<IHttpTransfer>(new CurlTransfer());
}

}  // namespace Web
}  // namespace talvik

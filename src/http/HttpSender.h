// HTTP client for camera control requests and HTTP video streams. One
// connection per sender (IHttpTransfer), pulled so that a body can be read in
// bounded chunks and Cancel (from another thread) wakes a blocked call at
// once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/DeviceInfo.h"
#include "base/MemoryBudget.h"
#include "media/HttpAuth.h"
#include "platform/HttpTransfer.h"
#include "platform/Storage.h"

namespace talvik {

class IDebugMessage;

namespace Web {

// Bits of HttpRequest::flags.
enum HttpRequestFlags : uint32_t {
    kFlagNoEscapeQuery = 1u << 0,
    kFlagIgnoreCertErrors = 1u << 1,  // TLS only
    kFlagNoRedirects = 1u << 2,
    kFlagNoWaitResponse = 1u << 3,
};

// HttpRequest::authSelector values.
enum HttpAuthSelector : uint32_t {
    kSelectBasic = 0,
    kSelectNtlm = 1,
    kSelectPassport = 2,
    kSelectDigest = 3,
    kSelectNegotiate = 4,  // 4 to 7
    kSelectNoCredentials = 5,
};

struct HttpRequest {
    std::string verb = "GET";
    std::string path;     // object path with query, e.g. "/get?auxin"
    uint32_t secure = 0;  // overwritten by the sender's own choice
    uint32_t authSelector = kSelectBasic;
    std::vector<uint8_t> body;
    uint32_t totalLength = 0;          // 0 = the body's own size
    std::vector<std::string> headers;  // extra header lines
    uint32_t flags = 0;
};

// The scheme a selector asks for while none has been learned.
uint32_t MapAuthSelector(uint32_t authSelector);

class CBaseHttpSender {
public:
    virtual ~CBaseHttpSender() = default;
    // Sends the request and waits for the response head. The device time-out
    // bounds the whole exchange (ReadResponse included), however the device
    // drips its answer.
    virtual bool SendRequest(HttpRequest request) = 0;
    // May be called from another thread (while the sender lives): the blocked
    // call of the owner returns false or 0 and the request is closed.
    virtual void Cancel() = 0;
    // Body bytes readable without blocking (waits for the first ones); 0 on
    // error, at the end or with no request open.
    virtual uint32_t QueryDataAvailable() = 0;
    // The whole body: Content-Length bytes (at most 64 MiB), or up to 1 MiB
    // without one; what came before the request's deadline when it passes.
    virtual uint32_t ReadResponse(std::vector<uint8_t>& out) = 0;
    // One read of at most maxBytes, appended to out; 0 on error or at the end.
    virtual uint32_t ReadData(std::vector<uint8_t>& out, uint32_t maxBytes, bool clearFirst) = 0;
};

class CHttpSender : public CBaseHttpSender, private IHttpTransferSink {
public:
    // Body bytes held between the socket and the reader: room for the
    // largest picture a stream reader keeps while it is incomplete, plus a
    // few receive pieces. The transfer pauses (and TCP pushes back on the
    // camera) when this is full. The storage grows to it only as needed, and
    // only as far as the process's buffer budget allows.
    static constexpr size_t kReadBufferCap = (10u << 20) + 256 * 1024;
    // ReadResponse budget without a Content-Length, and its ceiling with one.
    static constexpr uint32_t kDefaultBodyBudget = 0x100000;
    static constexpr uint32_t kMaxResponseBody = 64u << 20;

    explicit CHttpSender(const DEVICE_INFO& device);
    ~CHttpSender() override;
    CHttpSender(const CHttpSender&) = delete;
    CHttpSender& operator=(const CHttpSender&) = delete;

    bool SendRequest(HttpRequest request) override;
    void Cancel() override;
    uint32_t QueryDataAvailable() override;
    uint32_t ReadResponse(std::vector<uint8_t>& out) override;
    uint32_t ReadData(std::vector<uint8_t>& out, uint32_t maxBytes, bool clearFirst) override;
    // ReadData without the copy, for readers that keep bytes until they can
    // use them (a picture not yet complete): waits until more than `seen`
    // body bytes are held, points data at all of them and returns their
    // number (0 on error or at the end). Nothing counts as read until
    // Release; the bytes stay valid until the next call on the sender.
    // When the budget leaves no room for the bytes the reader waits for,
    // the held ones are dropped and seen is set to 0: the reader starts
    // afresh, as on a new stream, with the bytes that come next.
    size_t ReadHeld(const uint8_t*& data, size_t& seen);
    // Drops the first count held bytes (all of them at most).
    void Release(size_t count);

    // Ends the body reads of the current answer with the time-out error once
    // ms have passed from now, however the device sends it; the next request
    // lifts the limit.
    void LimitBodyReads(uint32_t ms);
    // The budget the read buffer's storage is charged to (the process's by
    // default), for tests of a full budget.
    void SetMemoryBudget(CMemoryBudget* budget);
    // Where a refusal of the credentials is told; null: nowhere.
    void SetLogger(IDebugMessage* logger) { logger_ = logger; }

    const DEVICE_INFO& GetDevice() const { return device_; }
    uint32_t GetStatusCode() const { return statusCode_; }
    uint32_t GetContentLength() const { return contentLength_; }
    // TransferError of the last failed call.
    uint32_t GetLastError() const { return lastError_; }
    // The last error in words, for a log line: "no answer within 5000 ms",
    // "the answer is not HTTP", ...
    std::string DescribeLastError() const;
    uint32_t GetAuthScheme() const { return authScheme_; }
    // After a request that the device refused (401) with the scheme learned:
    // who was refused and with which scheme, never the password. Empty after
    // any other outcome.
    std::string DescribeRefusal() const;
    bool IsSecure() const { return secure_ == 1; }
    // Largest number of body bytes ever held in the read buffer.
    size_t GetBufferHighWater() const { return bufferHighWater_; }
    // Body bytes of the current request that the transfer wrote straight
    // into the read buffer.
    uint64_t GetBytesReadDirectly() const { return bytesDirect_; }

    static constexpr uint32_t kErrorTimeout = kTransferTimedOut;
    static constexpr uint32_t kErrorCancelled = kTransferAborted;

    // The port whose devices are addressed with TLS from the first request
    // (443). Tests point it at a loopback port.
    static void SetTlsDefaultPort(uint16_t port);
    static uint16_t GetTlsDefaultPort();

private:
    enum AttemptResult { kAttemptFailed = -1, kAttemptRetry = 0, kAttemptOk = 1 };
    enum PumpResult { kPumpReady, kPumpDone, kPumpTimeout, kPumpCancelled, kPumpError };

    bool SendRequestInner(HttpRequest request);
    bool DeadlinePassed() const;
    // Tells the logger of the first refusal of a run of them.
    void NoteRefusal(const std::string& path);
    int Attempt(HttpRequest& request);
    // Starts the transfer of one attempt with these credentials.
    bool PrepareTransfer(const HttpRequest& request, uint32_t scheme);
    // Who answers the device's challenge: the transfer, or a Digest header
    // from the learned challenge. False for a scheme without a client.
    bool ChooseAuth(const HttpRequest& request, uint32_t scheme, TransferSettings& settings);
    int WaitForHead(HttpRequest& request, uint32_t scheme);
    bool HandleDigestStale(const HttpRequest& request, uint32_t scheme);
    std::string BuildUrl(const HttpRequest& request) const;
    void CloseRequest();
    // Drives the transfer until ready() holds, the transfer ends, nothing
    // arrives for timeoutMs, the deadline of a control exchange passes, or
    // Cancel.
    template <typename Ready>
    PumpResult Pump(Ready ready);
    uint32_t ReadDataInner(std::vector<uint8_t>& out, uint32_t maxBytes, bool clearFirst);
    // Waits as a read does; the number of body bytes then held, 0 when none
    // came (the reason is in lastError_).
    size_t WaitForBody(size_t& seen);
    uint32_t QueryDataAvailableInner();
    void ResumeIfPaused();
    size_t Buffered() const { return bufferTail_ - bufferHead_; }
    // Room for size more bytes after the held ones; false when the storage
    // cannot hold them and the budget refused it more.
    bool MakeRoom(size_t size);
    // The reader waits for bytes the storage has no room for: the held ones
    // (a picture that cannot be completed) go, logged once per run.
    void DropHeld();
    // size body bytes were written after the held ones.
    void Appended(size_t size);

    size_t OnHeaderLine(const char* data, size_t size) override;
    size_t OnBodyPiece(const char* data, size_t size) override;
    uint8_t* BodyRoom(size_t& room) override;
    void OnBodyWritten(size_t size) override;

    DEVICE_INFO device_;
    IDebugMessage* logger_ = nullptr;
    std::unique_ptr<IHttpTransfer> transfer_;
    bool requestOpen_ = false;  // a transfer was started and not stopped
    uint32_t statusCode_ = 0;
    uint32_t contentLength_ = 0;
    uint32_t lastError_ = 0;
    uint32_t authScheme_ = 0;
    uint32_t schemeTried_ = 0;  // credentials of the last attempt (0: none sent)
    bool refusalTold_ = false;  // a run of refusals with refusedScheme_ was told
    uint32_t refusedScheme_ = 0;
    uint32_t secure_ = 0;
    std::atomic<bool> cancelled_{false};
    // Steady-clock ms by which the current request must be answered; Pump
    // honours it while pumpDeadline_ holds it (0: stream reads, no deadline).
    uint64_t requestDeadline_ = 0;
    uint64_t pumpDeadline_ = 0;
    bool bodyLimited_ = false;  // pumpDeadline_ is a limit of LimitBodyReads

    // State of the current transfer.
    std::string postBody_;
    bool transferDone_ = false;
    uint32_t transferResult_ = 0;
    bool paused_ = false;
    bool headComplete_ = false;  // the final response head has been read
    bool inHeaderBlock_ = false;
    bool multiRound_ = false;  // the transfer may answer a 401 or 3xx on its own
    uint32_t headStatus_ = 0;
    uint32_t headContentLength_ = 0;
    std::vector<std::string> authenticateHeaders_;
    uint64_t bytesSeen_ = 0;  // header and body bytes; progress for the time-out
    uint64_t bytesDirect_ = 0;
    StoragePtr buffer_;  // storage; the held bytes are [head, tail)
    size_t bufferSize_ = 0;
    size_t bufferHead_ = 0;
    size_t bufferTail_ = 0;
    size_t bufferHighWater_ = 0;
    CBudgetCharge storageCharge_;  // bufferSize_ bytes
    bool noRoom_ = false;          // a piece found no room and the budget no more
    bool heldDropped_ = false;     // the reader must start afresh
    bool budgetRunTold_ = false;   // until the storage grows again

    DigestChallenge digest_;    // last Digest challenge of the device
    uint32_t digestCount_ = 0;  // nonce count for digest_.nonce
    // The transfer could not answer Digest: this request went without
    // credentials, and its challenge is answered here.
    bool digestUnanswered_ = false;
};

}  // namespace Web
}  // namespace talvik

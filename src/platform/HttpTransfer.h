// The HTTP client library behind CHttpSender: one connection (kept between
// requests) and one request at a time on it, pulled by Perform and Wait, so
// that a body is read in bounded pieces and Wake (from any thread) ends a
// wait at once. Each platform implements it in one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik {
namespace Web {

// Transfer outcomes; the numbers are those the sender has always reported.
enum TransferError : uint32_t {
    kTransferOk = 0,
    kTransferUnsupportedProtocol = 1,
    kTransferFailedInit = 2,
    kTransferUrlMalformed = 3,
    kTransferNotBuiltIn = 4,
    kTransferCouldntResolveHost = 6,
    kTransferCouldntConnect = 7,
    kTransferWeirdServerReply = 8,
    kTransferOutOfMemory = 27,
    kTransferTimedOut = 28,
    kTransferSslConnectError = 35,
    kTransferAborted = 42,
    kTransferBadArgument = 43,
    kTransferGotNothing = 52,
    kTransferSendError = 55,
    kTransferRecvError = 56,
};

enum class TransferAuth { kNone, kBasic, kNtlm, kNegotiate, kDigest };

struct TransferSettings {
    std::string url;
    const char* userAgent = "";
    long connectTimeoutMs = 0;
    bool followRedirects = true;  // up to 10, http and https only
    bool ignoreCertErrors = false;
    std::string verb = "GET";
    const std::string* body = nullptr;  // sent when not empty; outlives the request
    // Who answers a challenge of the device on its own (kNone: nobody).
    TransferAuth auth = TransferAuth::kNone;
    const std::string* userName = nullptr;  // with auth; outlive the request
    const std::string* password = nullptr;
    std::vector<std::string> headers;  // extra header lines
};

// Receives the response as it arrives, inside Perform.
class IHttpTransferSink {
public:
    virtual ~IHttpTransferSink() = default;
    // Both return size to go on, 0 to fail the transfer; OnBodyPiece may
    // return kPauseTransfer to be handed the same piece again after Resume.
    virtual size_t OnHeaderLine(const char* data, size_t size) = 0;
    virtual size_t OnBodyPiece(const char* data, size_t size) = 0;
    // A transfer that can read the body straight from the connection asks
    // for room in the sink's own storage instead of handing pieces over:
    // room bytes at the returned place, null (the default) when the sink
    // takes pieces only or has no room now. OnBodyWritten tells how many
    // were written there, in order, in one call or several; the room stays
    // where it is until the next BodyRoom or the end of the request (the
    // sink may drop held bytes meanwhile, not move the room), as another
    // thread may be writing into it.
    virtual uint8_t* BodyRoom(size_t& room) {
        room = 0;
        return nullptr;
    }
    virtual void OnBodyWritten(size_t) {}
};

class IHttpTransfer {
public:
    static constexpr size_t kPauseTransfer = ~size_t{0};
    // Largest body piece handed over at once.
    static constexpr size_t kMaxBodyPiece = 64 * 1024;

    virtual ~IHttpTransfer() = default;
    // Starts a request (after Stop of the last one); a TransferError.
    virtual uint32_t Start(const TransferSettings& settings, IHttpTransferSink* sink) = 0;
    // Ends the current request, if any; the connection may stay for the next.
    virtual void Stop() = 0;
    // Runs whatever is ready without blocking. done: the request has ended,
    // with result. False when the transfer itself failed.
    virtual bool Perform(bool& done, uint32_t& result) = 0;
    // Blocks until something is ready, Wake or timeoutMs.
    virtual void Wait(int timeoutMs) = 0;
    // From any thread.
    virtual void Wake() = 0;
    virtual void Resume() = 0;
    // The request went out (connection and TLS handshake done).
    virtual bool RequestSent() = 0;
    virtual std::string ErrorText(uint32_t error) = 0;
};

std::unique_ptr<IHttpTransfer> CreateHttpTransfer();

}  // namespace Web
}  // namespace talvik

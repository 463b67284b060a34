// The sender on WinHTTP, under Wine, against camsim running beside it on
// loopback: TALVIK_SIM_BASIC and TALVIK_SIM_DIGEST hold the HTTP ports of a
// simulator asking for Basic and one asking for Digest (user admin, password
// secret), TALVIK_TLS_PORT that of an HTTPS server with a self-signed
// certificate, TALVIK_TLS_ALERT_PORT one that answers a plain request with a
// TLS alert. scripts/test starts them (WINDOWS=1).
#include <gtest/gtest.h>
#include <winsock2.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "../SenderTable.h"
#include "platform/win/WinHttpTransfer.h"

namespace talvik {
namespace {

using talvik_http_test::Device;
using Web::CHttpSender;

uint16_t PortOf(const char* name) {
    const char* text = std::getenv(name);
    return text ? uint16_t(std::atoi(text)) : 0;
}

// A simulator control (no credentials needed under /sim/).
std::string Sim(uint16_t port, const std::string& path) {
    CHttpSender sender(Device(port, 5000, ":"));
    std::vector<uint8_t> body;
    HUtils::RequestGetRD(sender, path, body, true);
    return std::string(body.begin(), body.end());
}

// A loopback port nobody listens on.
uint16_t FreePort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(s);
    return ntohs(address.sin_port);
}

class WineSender : public ::testing::Test {
protected:
    void SetUp() override {
        if (basic_ == 0 || digest_ == 0 || tls_ == 0 || tlsAlert_ == 0)
            GTEST_SKIP() << "no simulator ports given";
        Sim(basic_, "/sim/requests?clear=1");
        Sim(digest_, "/sim/requests?clear=1");
        Sim(basic_, "/sim/silence?seconds=0");
    }
    const uint16_t basic_ = PortOf("TALVIK_SIM_BASIC");
    const uint16_t digest_ = PortOf("TALVIK_SIM_DIGEST");
    const uint16_t tls_ = PortOf("TALVIK_TLS_PORT");
    // The same, answering a plain request with a TLS alert.
    const uint16_t tlsAlert_ = PortOf("TALVIK_TLS_ALERT_PORT");
};

class WineSenderRequests : public WineSender,
                           public ::testing::WithParamInterface<talvik_http_test::SenderCase> {};

// What the camera saw: the simulator's log of camera requests.
TEST_P(WineSenderRequests, ResultsRequestsAndLog) {
    const talvik_http_test::SenderCase& c = GetParam();
    const uint16_t port = c.camera.rfind("win-basic", 0) == 0    ? basic_
                          : c.camera.rfind("win-digest", 0) == 0 ? digest_
                          : c.camera == "win-tls"                ? tls_
                          : c.camera == "win-tls-alert"          ? tlsAlert_
                                                                 : FreePort();
    const auto requests = [&] {
        return port == basic_ || port == digest_ ? Sim(port, "/sim/requests") : "";
    };
    const uint32_t before = Web::WinHttpWorkersStarted();
    const auto workers = [&] {
        return ", " + std::to_string(Web::WinHttpWorkersStarted() - before);
    };
    EXPECT_EQ(talvik_http_test::RunSenderCase(c, port, workers, requests), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Camsim, WineSenderRequests,
                         ::testing::ValuesIn(talvik_http_test::SenderCases(true)),
                         [](const auto& info) { return info.param.name; });

TEST_F(WineSender, PictureReadInPiecesIsWhole) {
    CHttpSender sender(Device(basic_));
    ASSERT_TRUE(
        sender.SendRequest(HUtils::MakeGetRequest("/image?res=full&x0=0&y0=0&x1=1920&y1=1080")));
    ASSERT_EQ(sender.GetStatusCode(), 200u);
    const uint32_t length = sender.GetContentLength();
    ASSERT_GT(length, 2u * Web::IHttpTransfer::kMaxBodyPiece);
    std::vector<uint8_t> picture;
    while (sender.ReadData(picture, 1000, false) > 0) {
    }
    ASSERT_EQ(picture.size(), length);
    EXPECT_EQ(sender.GetBytesReadDirectly(), length);
    EXPECT_EQ(picture[0] << 8 | picture[1], 0xFFD8);
    EXPECT_EQ(picture[length - 2] << 8 | picture[length - 1], 0xFFD9);
}

// The whole pictures of camsim's MJPEG stream from its start, each between
// its part's head and end as the head's length says; -1 at the first part
// that is not whole.
int WholePictures(const std::vector<uint8_t>& stream) {
    const std::string head = "--camsimboundary\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    const std::string text(stream.begin(), stream.end());
    int pictures = 0;
    for (size_t at = 0;; ++pictures) {
        const size_t blank = text.find("\r\n\r\n", at);
        if (blank == std::string::npos) return pictures;
        if (text.compare(at, head.size(), head) != 0) return -1;
        const size_t length = std::stoul(text.substr(at + head.size(), blank - at - head.size()));
        const size_t jpeg = blank + 4;
        if (jpeg + length + 2 > text.size()) return pictures;
        if (text.compare(jpeg, 2, "\xFF\xD8") != 0 ||
            text.compare(jpeg + length - 2, 4, "\xFF\xD9\r\n") != 0)
            return -1;
        at = jpeg + length + 2;
    }
}

// A reader that keeps every byte: the transfer fills the sender's buffer to
// its cap and no further (TCP holds the camera back), then goes on where it
// stopped once the reader lets go; the sender goes at once while the stream
// flows, and the next request is answered.
TEST_F(WineSender, StreamHeldToTheCapGoesOnWhereItStopped) {
    auto sender = std::make_unique<CHttpSender>(Device(basic_));
    ASSERT_TRUE(sender->SendRequest(
        HUtils::MakeGetRequest("/mjpeg?res=full&x0=0&y0=0&x1=1920&y1=1080&fps=25")));
    ASSERT_EQ(sender->GetStatusCode(), 200u);
    std::vector<uint8_t> stream;
    const uint8_t* data = nullptr;
    size_t held = 0;
    for (size_t n; (n = sender->ReadHeld(data, held)) > 0; held = n)
        stream.insert(stream.end(), data + held, data + n);
    EXPECT_EQ(held, CHttpSender::kReadBufferCap);
    EXPECT_EQ(sender->GetBufferHighWater(), CHttpSender::kReadBufferCap);
    sender->Release(held);
    while (stream.size() < 2 * CHttpSender::kReadBufferCap) {
        size_t none = 0;
        const size_t n = sender->ReadHeld(data, none);
        ASSERT_GT(n, 0u);
        stream.insert(stream.end(), data, data + n);
        sender->Release(n);
    }
    EXPECT_EQ(sender->GetBytesReadDirectly(), stream.size());
    EXPECT_GT(WholePictures(stream), 10);
    const auto destroyed = talvik_http_test::Clock::now();
    sender.reset();
    EXPECT_LT(talvik_http_test::Clock::now() - destroyed, std::chrono::seconds(2));
    CHttpSender next(Device(basic_));
    std::vector<uint8_t> body;
    EXPECT_EQ(HUtils::RequestGetRD(next, "/get?fwversion", body, true).code, HUtils::kRequestOk);
    EXPECT_EQ(std::string(body.begin(), body.end()), "fwversion=65246\r\n");
}

// Keeps what a transfer hands over.
struct Keeper : Web::IHttpTransferSink {
    std::string head, body;
    size_t OnHeaderLine(const char* data, size_t size) override {
        head.append(data, size);
        return size;
    }
    size_t OnBodyPiece(const char* data, size_t size) override {
        body.append(data, size);
        return size;
    }
};

Web::TransferSettings Get(uint16_t port, const std::string& target) {
    Web::TransferSettings settings;
    settings.url = "http://127.0.0.1:" + std::to_string(port) + target;
    settings.connectTimeoutMs = 20000;
    return settings;
}

// Pumps the transfer until until() holds or the request ends (20 s at most):
// the result then, ~0 while it runs.
template <typename Until>
uint32_t Pump(Web::IHttpTransfer& transfer, Until until) {
    bool done = false;
    uint32_t result = ~0u;
    const auto deadline = talvik_http_test::Clock::now() + std::chrono::seconds(20);
    while (!done && !until() && talvik_http_test::Clock::now() < deadline) {
        if (!transfer.Perform(done, result)) return ~1u;
        if (!done && !until()) transfer.Wait(100);
    }
    return result;
}

// The steps of the workers, as the transfer's hook reports them. Holds the
// first worker that is about to read until another worker is about to query
// its own request, which then waits until the held one is done.
struct Steps {
    std::mutex mutex;
    std::condition_variable changed;
    DWORD held = 0;  // the lingering worker's thread
    void* heldRequest = nullptr;
    bool released = false;
    size_t heldDoneAt = 0;  // in seen, 0 until then
    std::vector<std::pair<std::string, void*>> seen;

    static Steps& Get() {
        static Steps steps;
        return steps;
    }
    static void Hook(const char* step, void* request) {
        Steps& s = Get();
        std::unique_lock<std::mutex> lock(s.mutex);
        const std::string name = step;
        const DWORD thread = GetCurrentThreadId();
        s.seen.emplace_back(name, request);
        s.changed.notify_all();
        const auto limit = std::chrono::seconds(20);
        if (s.held == 0 && name == "read") {
            s.held = thread;
            s.heldRequest = request;
            s.changed.wait_for(lock, limit, [&] { return s.released; });
        } else if (s.held == thread && name == "done" && s.heldDoneAt == 0) {
            s.heldDoneAt = s.seen.size() - 1;
        } else if (s.held != 0 && s.held != thread && name == "query" && !s.released) {
            s.released = true;
            s.changed.notify_all();
            s.changed.wait_for(lock, limit, [&] { return s.heldDoneAt != 0; });
        }
    }
    // Where step on request was first seen from at on; seen.size() if not.
    size_t Find(const std::string& step, void* request, size_t at) const {
        while (at < seen.size() && !(seen[at].first == step && seen[at].second == request))
            ++at;
        return at;
    }
};

// A request stopped while its worker is about to read, then at once a
// request of another transfer to another camera: the lingering worker reads
// from its own request, which stays open until the worker is done, and
// never from the new one (Wine hands a closed handle's value to the next
// request opened, anywhere in the process).
TEST_F(WineSender, StoppedRequestLeavesItsHandleToItsWorker) {
    std::unique_ptr<Web::IHttpTransfer> other = Web::CreateHttpTransfer();
    Keeper first;
    ASSERT_EQ(other->Start(Get(digest_, "/sim/silence?seconds=0"), &first), 0u);
    ASSERT_EQ(Pump(*other, [] { return false; }), 0u);
    ASSERT_EQ(first.body, "ok\n");
    other->Stop();

    Steps& steps = Steps::Get();
    Web::SetWinHttpStepHook(&Steps::Hook);
    std::unique_ptr<Web::IHttpTransfer> stopped = Web::CreateHttpTransfer();
    Keeper picture;
    ASSERT_EQ(stopped->Start(Get(basic_, "/image?res=full&x0=0&y0=0&x1=1920&y1=1080"), &picture),
              0u);
    const auto held = [&] {
        std::lock_guard<std::mutex> lock(steps.mutex);
        return steps.held != 0;
    };
    Pump(*stopped, held);  // hands the head over
    ASSERT_TRUE(held());
    stopped->Stop();
    size_t stoppedAt;
    {
        std::lock_guard<std::mutex> lock(steps.mutex);
        stoppedAt = steps.seen.size();
    }

    Keeper second;
    ASSERT_EQ(other->Start(Get(digest_, "/sim/silence?seconds=0"), &second), 0u);
    EXPECT_EQ(Pump(*other, [] { return false; }), 0u);
    EXPECT_EQ(second.body, "ok\n");
    stopped.reset();
    other.reset();

    std::unique_lock<std::mutex> lock(steps.mutex);
    void* const request = steps.heldRequest;
    const size_t heldAt = steps.Find("read", request, 0);
    EXPECT_TRUE(steps.changed.wait_for(lock, std::chrono::seconds(20), [&] {
        return steps.heldDoneAt != 0 && steps.Find("close", request, heldAt) < steps.seen.size();
    }));
    // Closed once, after its worker was done.
    const size_t closedAt = steps.Find("close", request, heldAt);
    EXPECT_GT(closedAt, steps.heldDoneAt);
    EXPECT_EQ(steps.Find("close", request, closedAt + 1), steps.seen.size());
    // Not reopened by the next request while the worker lingered.
    EXPECT_GT(steps.Find("open", request, stoppedAt), steps.heldDoneAt);
    Web::SetWinHttpStepHook(nullptr);
}

}  // namespace
}  // namespace talvik

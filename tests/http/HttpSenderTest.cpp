// The sender and its GET helpers over curl against loopback servers:
// authentication learning, TLS fallback, time-outs, cancel, streaming with a
// bounded buffer, result codes and messages.
#include "http/HttpSender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "SenderTable.h"
#include "base/Thread.h"
#include "http/CameraRequest.h"
#include "http/HUtils.h"
#include "support/RecordingLogger.h"
#include "support/TestHttpServer.h"
#include "support/Threads.h"

namespace {

using talvik::DEVICE_INFO;
using talvik::Web::CHttpSender;
using talvik_test::HttpExchange;
using talvik_test::HttpReply;
using talvik_test::RawTcpServer;
using talvik_test::ServerAuth;
using talvik_test::TestHttpServer;
namespace HUtils = talvik::HUtils;

DEVICE_INFO Device(uint16_t port, uint32_t timeoutMs = 5000) {
    DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = port;
    device.userName = "admin";
    device.password = "secret";
    device.timeoutMs = timeoutMs;
    return device;
}

HttpReply Answer(unsigned status, std::string body = "", std::string location = "",
                 bool close = false) {
    HttpReply reply{status, std::move(body), {}, close};
    if (status == 401) reply.headers = {{"WWW-Authenticate", "Basic realm=\"camera\""}};
    if (!location.empty()) reply.headers = {{"Location", location}};
    return reply;
}

// The camera's answers by path; any other path is not found.
HttpReply Reply(const HttpExchange& exchange) {
    static const std::map<std::string, HttpReply> answers = {
        {"/get?model", Answer(200, "model=AV")},
        {"/get?auxin", Answer(200, "auxin=0")},
        {"/close", Answer(200, "model=AV", "", true)},
        {"/refused", Answer(401)},
        {"/empty", Answer(200)},
        {"/nocontent", Answer(204)},
        {"/created", Answer(201, "id=1")},
        {"/moved", Answer(302, "elsewhere", "/get?model")},
        {"/error", Answer(500, "oops")}};
    const auto it = answers.find(exchange.url);
    if (it != answers.end()) return it->second;
    // "/stream?N": N bytes of StreamByte, "/length?N" with their length.
    HttpReply reply = Answer(exchange.url.find('?') == 7 ? 200 : 404);
    reply.streamBytes = std::strtoull(exchange.url.c_str() + 8, nullptr, 10);
    reply.announceStreamLength = exchange.url.rfind("/length?", 0) == 0;
    return reply;
}

// A camera that reads the request head, writes `first`, then `again` every
// `everyMs` (or nothing) while the connection lasts, and never closes it.
RawTcpServer::Handler Script(std::string first, std::string again = "", int everyMs = 0) {
    return [=](int fd, RawTcpServer& server) {
        std::string head;
        if (!server.ReadRequestHead(fd, &head) || !server.WriteAll(fd, first)) return;
        while (everyMs > 0 && !server.Stopping() && server.WriteAll(fd, again))
            std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
        server.HoldOpen(fd);
    };
}

// Cameras: open, basic, digest (-stale: nonces stale after a second), tls,
// closed (nothing listening) or raw (a socket that writes first, then again
// every ms); -on-tls-port: on the sender's TLS default port; -slow: skipped
// under sanitizers. After each request, the connections so far; then each
// exchange's path and Authorization (Digest up to the user name).
class SenderRequest : public ::testing::TestWithParam<talvik_http_test::SenderCase> {};

TEST_P(SenderRequest, ResultsExchangesAndLog) {
    const talvik_http_test::SenderCase& c = GetParam();
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    if (c.camera.find("-slow") != std::string::npos) GTEST_SKIP() << "too slow under sanitizers";
#endif
    const std::string kind = c.camera.substr(0, c.camera.find('-'));
    std::unique_ptr<TestHttpServer> http;
    std::unique_ptr<RawTcpServer> raw;
    if (kind == "raw" || kind == "closed") {
        raw =
            std::make_unique<RawTcpServer>(Script(c.first, c.again, std::atoi(c.everyMs.c_str())));
        ASSERT_TRUE(raw->Started());
    } else {
        const ServerAuth auth = kind == "basic"    ? ServerAuth::kBasic
                                : kind == "digest" ? ServerAuth::kDigest
                                                   : ServerAuth::kNone;
        const bool stale = c.camera.find("-stale") != std::string::npos;
        http = std::make_unique<TestHttpServer>(
            TestHttpServer::Options{kind == "tls", auth, stale ? 1u : 300u}, &Reply);
        ASSERT_TRUE(http->Started());
    }
    const uint16_t port = http ? http->Port() : raw->Port();
    if (kind == "closed") raw.reset();
    const auto connections = [&] {
        return ", " + std::to_string(http ? http->Connections() : raw ? raw->Connections() : 0);
    };
    const auto sent = [&] {
        std::string text = http ? "sent" : "";
        for (const HttpExchange& e : http ? http->Exchanges() : std::vector<HttpExchange>()) {
            EXPECT_EQ(e.userAgent, "Talvik::HttpSender");
            text += " " + e.url + " [" + e.authorization.substr(0, e.authorization.find(',')) + "]";
        }
        return text + (http ? "\n" : "");
    };
    EXPECT_EQ(RunSenderCase(c, port, connections, sent, &talvik_test::StreamByte), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cameras, SenderRequest,
                         ::testing::ValuesIn(talvik_http_test::SenderCases(false)),
                         [](const auto& info) { return info.param.name; });

// Sends one request from a thread of its own; the camera never answers.
class BlockedRequestThread : public talvik::CBaseThread {
public:
    BlockedRequestThread(talvik::IDebugMessage* logger, const DEVICE_INFO& device)
        : CBaseThread(logger), sender_(device) {}
    ~BlockedRequestThread() override { StopThread(2000); }  // before the sender goes
    std::atomic<bool> returned{false};

protected:
    void Run() override {
        HUtils::SendGet(sender_, "/get?model");
        returned = true;
    }

private:
    CHttpSender sender_;
};

TEST(SenderCancel, ThreadForceEndedInsideTheSenderEndsCleanly) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer does not support thread cancellation";
#endif
    RawTcpServer server(Script(""));
    ASSERT_TRUE(server.Started());
    talvik_test::RecordingLogger log;
    BlockedRequestThread thread(&log, Device(server.Port(), 60000));
    ASSERT_TRUE(thread.StartThread("blocked"));
    ASSERT_TRUE(talvik_test::WaitUntil([&] { return server.Connections() == 1; }));
    // The forced end lands in the sender's wait for the answer (its log line
    // is the thread's own).
    EXPECT_TRUE(thread.StopThread(300));
    EXPECT_FALSE(thread.returned);
    EXPECT_EQ(log.Lines().size(), 1u);
}

// The camera request over a sender: an empty body is no body (and leaves no
// stale text), another 2xx than 200 is an answer with its body, SendGet
// ignores the status, a cancel holds until Rearm.
TEST(HttpCameraRequest, StatusBodyAndCancel) {
    TestHttpServer server(TestHttpServer::Options(), &Reply);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    talvik::CHttpCameraRequest camera(sender);
    std::string text = "stale";
    EXPECT_FALSE(talvik::GetCameraBody(camera, "/empty", text));
    EXPECT_EQ(text, "");
    const talvik::CameraReply created = camera.Get("/created", true);
    EXPECT_EQ(created.status, 201u);
    EXPECT_EQ(created.body, "id=1");
    EXPECT_TRUE(HUtils::SendGet(sender, "/missing"));
    camera.Cancel();
    EXPECT_EQ(camera.Get("/created", true).status, 0u);
    camera.Rearm();
    EXPECT_TRUE(talvik::GetCameraOk(camera, "/created"));
}

// ReadHeld hands out the sender's own bytes: every byte once, in order, with
// the buffer still capped, whether the reader keeps a tail of them (a
// picture still arriving: the storage grows and moves them), keeps nothing,
// or alternates with ReadData.
struct ViewCase {
    const char* name;
    uint64_t streamBytes;
    size_t keep;  // bytes the reader keeps after each read
    bool alternateWithReadData;
};

class SenderView : public ::testing::TestWithParam<ViewCase> {};

TEST_P(SenderView, EveryByteOnceInOrderWithinTheCap) {
    const ViewCase c = GetParam();
    TestHttpServer server(TestHttpServer::Options(), &Reply);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    const uint8_t* data = reinterpret_cast<const uint8_t*>(&c);
    EXPECT_EQ(sender.ReadHeld(data, 0), 0u);  // no request yet
    EXPECT_EQ(data, nullptr);
    ASSERT_TRUE(HUtils::SendGet(sender, "/stream?" + std::to_string(c.streamBytes)));
    std::vector<uint8_t> copied;
    uint64_t released = 0;  // stream offset of the first held byte
    size_t seen = 0;
    uint64_t mismatches = 0;
    for (uint64_t call = 0;; ++call) {
        const bool copy = c.alternateWithReadData && call % 2 == 1;
        const size_t n = copy ? sender.ReadData(copied, 50000, true) : sender.ReadHeld(data, seen);
        if (n == 0 && !copy) break;
        for (size_t i = copy ? 0 : seen; i < n; ++i)
            mismatches += (copy ? copied[i] : data[i]) != talvik_test::StreamByte(released + i);
        const size_t done = copy ? n : n - std::min(n, c.keep);
        if (!copy) sender.Release(done);
        released += done;
        seen = copy ? seen : n - done;
    }
    EXPECT_EQ(released + seen, c.streamBytes);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(sender.GetLastError(), 0u);
    EXPECT_LE(sender.GetBufferHighWater(), CHttpSender::kReadBufferCap);
    EXPECT_EQ(sender.ReadHeld(data, seen), 0u);  // the end stays the end
    EXPECT_EQ(data, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, SenderView,
    ::testing::Values(ViewCase{"KeepsAPictureSoTheStorageGrowsAndMoves", 24u << 20, 3u << 20,
                               false},
                      ViewCase{"KeepsAlmostTheCap", 16u << 20, (10u << 20) + 1000, false},
                      ViewCase{"AlternatesWithReadData", 8u << 20, 0, true},
                      ViewCase{"ShortBody", 10, 0, false}),
    [](const ::testing::TestParamInfo<ViewCase>& info) { return info.param.name; });

}  // namespace

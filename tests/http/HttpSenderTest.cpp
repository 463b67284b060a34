// The sender and its GET helpers against loopback servers: authentication
// learning, TLS fallback, time-outs, cancel, streaming with a bounded buffer,
// result codes and messages.
#include "http/HttpSender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "base/Text.h"
#include "base/Thread.h"
#include "http/CameraRequest.h"
#include "http/HUtils.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"
#include "support/Threads.h"

namespace {

using talvik::DEVICE_INFO;
using talvik::Web::CHttpSender;
using talvik::Web::HttpRequest;
using talvik_test::HttpExchange;
using talvik_test::HttpReply;
using talvik_test::RawTcpServer;
using talvik_test::ServerAuth;
using talvik_test::TestHttpServer;
namespace HUtils = talvik::HUtils;
namespace Web = talvik::Web;

// Restores the sender's TLS default port when it goes out of scope.
class TlsDefaultPortOverride {
public:
    explicit TlsDefaultPortOverride(uint16_t port) : saved_(CHttpSender::GetTlsDefaultPort()) {
        CHttpSender::SetTlsDefaultPort(port);
    }
    ~TlsDefaultPortOverride() { CHttpSender::SetTlsDefaultPort(saved_); }

private:
    uint16_t saved_;
};

DEVICE_INFO Device(uint16_t port, std::string user = "admin", std::string password = "secret",
                   uint32_t timeoutMs = 5000) {
    DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = port;
    device.userName = std::move(user);
    device.password = std::move(password);
    device.timeoutMs = timeoutMs;
    return device;
}

TestHttpServer::Options ServerOptions(ServerAuth auth, bool tls = false) {
    TestHttpServer::Options options;
    options.auth = auth;
    options.tls = tls;
    return options;
}

HttpReply Answer(unsigned status, std::string body = "", std::string location = "",
                 bool close = false) {
    HttpReply reply;
    reply.status = status;
    reply.body = std::move(body);
    if (status == 401) reply.headers = {{"WWW-Authenticate", "Basic realm=\"camera\""}};
    if (!location.empty()) reply.headers = {{"Location", location}};
    reply.closeConnection = close;
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
    // "/stream?N": N bytes of the multipart stream, "/length?N" with their length.
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

// Runs call on a thread of its own. False when it still runs after limitMs;
// it is then cancelled through the sender.
template <typename Call>
bool FinishesWithin(CHttpSender& sender, int limitMs, Call call) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        call();
        done = true;
    });
    const bool finished = talvik_test::WaitUntil([&] { return done.load(); }, limitMs);
    while (!done) {
        sender.Cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    return finished;
}

// A row of tests/http/data/sender_requests.txt and the summary below it.
struct RequestCase {
    std::string name, camera, credentials;
    uint32_t timeoutMs;
    int cancelAfterMs;
    std::string paths, first, again;
    int everyMs;
    bool slow;
    std::string expected;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<RequestCase> RequestCases() {
    std::istringstream all(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/http/data/sender_requests.txt"));
    std::vector<RequestCase> cases;
    for (std::string line; std::getline(all, line);) {
        if (line.rfind("== ", 0) != 0) {
            if (!cases.empty()) cases.back().expected += line + "\n";
            continue;
        }
        std::vector<std::string> f;
        std::istringstream fields(line.substr(3));
        for (std::string field; std::getline(fields, field, '|');) {
            const size_t from = field.find_first_not_of(' ');
            field = from == std::string::npos
                        ? ""
                        : field.substr(from, field.find_last_not_of(' ') + 1 - from);
            for (size_t crlf; (crlf = field.find("\\r\\n")) != std::string::npos;)
                field.replace(crlf, 4, "\r\n");
            f.push_back(field);
        }
        f.resize(10);
        cases.push_back({f[0], f[1], f[2], uint32_t(std::stoul(f[3])), std::stoi(f[4]), f[5], f[6],
                         f[7], std::atoi(f[8].c_str()), f[9] == "slow", ""});
    }
    return cases;
}

// Short bodies as text; long ones by size, and whether they are the stream's bytes.
std::string Body(const std::vector<uint8_t>& body) {
    if (body.size() <= 64) return std::string(body.begin(), body.end());
    size_t same = 0;
    while (same < body.size() && body[same] == talvik_test::MjpegStreamByte(same))
        ++same;
    return std::to_string(body.size()) + " bytes" +
           (same == body.size() ? "" : " differing at " + std::to_string(same));
}

class SenderRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(SenderRequest, ResultsExchangesAndLog) {
    const RequestCase& c = GetParam();
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    if (c.slow) GTEST_SKIP() << "too slow under the sanitizer";
#endif
    const std::string kind = c.camera.substr(0, c.camera.find('-'));
    std::unique_ptr<TestHttpServer> http;
    std::unique_ptr<RawTcpServer> raw;
    if (kind == "raw" || kind == "closed") {
        raw = std::make_unique<RawTcpServer>(Script(c.first, c.again, c.everyMs));
        ASSERT_TRUE(raw->Started());
    } else {
        http =
            std::make_unique<TestHttpServer>(ServerOptions(kind == "basic"    ? ServerAuth::kBasic
                                                           : kind == "digest" ? ServerAuth::kDigest
                                                                              : ServerAuth::kNone,
                                                           kind == "tls"),
                                             &Reply);
        ASSERT_TRUE(http->Started());
    }
    const uint16_t port = http ? http->Port() : raw->Port();
    if (kind == "closed") raw.reset();
    std::unique_ptr<TlsDefaultPortOverride> tlsPort;
    if (c.camera.find("-on-tls-port") != std::string::npos)
        tlsPort = std::make_unique<TlsDefaultPortOverride>(port);
    talvik_test::RecordingLogger log;
    const size_t colon = c.credentials.find(':');
    CHttpSender sender(
        Device(port, c.credentials.substr(0, colon), c.credentials.substr(colon + 1), c.timeoutMs));
    sender.SetLogger(&log);
    std::ostringstream got;
    std::istringstream paths(c.paths);
    for (std::string path; paths >> path;) {
        std::vector<uint8_t> body{'s', 't', 'a', 'l', 'e'};
        talvik::CResultDef r;
        EXPECT_EQ(c.cancelAfterMs == 0,
                  FinishesWithin(sender, c.cancelAfterMs ? c.cancelAfterMs : 15000,
                                 [&] { r = HUtils::RequestGetRD(sender, path, body, true); }))
            << path << (c.cancelAfterMs ? " ended before its cancel" : " still waiting");
        got << path << ": " << r.level << " " << r.code << " " << r.message << ", " << Body(body)
            << ", "
            << (http  ? http->Connections()
                : raw ? raw->Connections()
                      : 0)
            << (sender.IsSecure() ? " tls" : "") << "\n";
    }
    if (http) {
        got << "sent";
        for (const HttpExchange& e : http->Exchanges()) {
            EXPECT_EQ(e.userAgent, "Talvik::HttpSender");
            got << " " << e.url << " [" << e.authorization.substr(0, e.authorization.find(','))
                << "]";
        }
        got << "\n";
    }
    got << "scheme " << sender.GetAuthScheme() << " status " << sender.GetStatusCode() << " length "
        << sender.GetContentLength() << " error " << sender.GetLastError() << "\n";
    for (const talvik_test::LogLine& line : log.Lines())
        got << "log " << line.level << " " << line.text << "\n";
    std::string text = got.str();
    const std::string at = "127.0.0.1:" + std::to_string(port);
    for (size_t p = text.find(at); p != std::string::npos; p = text.find(at))
        text.replace(p, at.size(), "127.0.0.1:P");
    if (getenv("TALVIK_WRITE_EXPECTED")) std::cerr << "== " << c.name << "\n" << text;
    EXPECT_EQ(text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cameras, SenderRequest, ::testing::ValuesIn(RequestCases()),
                         [](const auto& info) { return info.param.name; });

TEST(SenderAuth, StaleDigestNonceIsRenewedWithinTheRequest) {
    TestHttpServer::Options options = ServerOptions(ServerAuth::kDigest);
    options.nonceTimeoutS = 1;
    TestHttpServer server(options, &Reply);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    talvik::CHttpCameraRequest camera(sender);
    ASSERT_TRUE(talvik::GetCameraOk(camera, "/get?model"));
    ASSERT_EQ(server.Exchanges().size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // beyond the nonce's life
    EXPECT_TRUE(talvik::GetCameraOk(camera, "/get?model"));
    std::vector<HttpExchange> exchanges = server.Exchanges();
    ASSERT_EQ(exchanges.size(), 4u);  // stale answer, then the fresh nonce
    EXPECT_EQ(exchanges[2].authorization.rfind("Digest ", 0), 0u);
    EXPECT_EQ(exchanges[3].authorization.rfind("Digest ", 0), 0u);
    EXPECT_NE(exchanges[2].authorization, exchanges[3].authorization);
}

TEST(SenderCertificate, CheckedUnlessTheRequestWaivesIt) {
    TestHttpServer server(ServerOptions(ServerAuth::kNone, true), &Reply);
    ASSERT_TRUE(server.Started());
    TlsDefaultPortOverride tlsPort(server.Port());
    CHttpSender sender(Device(server.Port()));
    HttpRequest request;
    request.path = "/get?model";
    request.flags = Web::kFlagNoRedirects;  // certificate errors not ignored
    EXPECT_FALSE(sender.SendRequest(request));
    EXPECT_EQ(sender.GetStatusCode(), 0u);
    EXPECT_TRUE(sender.IsSecure());  // nothing succeeded, nothing changed
    EXPECT_TRUE(sender.SendRequest(HUtils::MakeGetRequest("/get?model")));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
}

TEST(SenderCancel, CancelFromAnotherThreadUnblocksReadData) {
    RawTcpServer server(
        Script("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=frame\r\n\r\n"
               "--frame\r\n"));
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port(), "admin", "secret", 30000));
    ASSERT_TRUE(HUtils::SendGet(sender, "/mjpeg?res=full"));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    std::vector<uint8_t> data;
    EXPECT_EQ(sender.ReadData(data, 4096, true), 9u);  // "--frame\r\n", then the camera stalls

    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the read block
        sender.Cancel();
    });
    // Without the cancel the read would wait out the 30-second time-out.
    const uint32_t read = sender.ReadData(data, 4096, true);
    canceller.join();
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(sender.GetLastError(), CHttpSender::kErrorCancelled);
    EXPECT_EQ(sender.ReadData(data, 4096, true), 0u);  // the request stays closed
    EXPECT_EQ(sender.QueryDataAvailable(), 0u);
}

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
    BlockedRequestThread thread(&log, Device(server.Port(), "admin", "secret", 60000));
    ASSERT_TRUE(thread.StartThread("blocked"));
    ASSERT_TRUE(talvik_test::WaitUntil([&] { return server.Connections() == 1; }));
    const uint32_t id = thread.ThreadId();
    // The forced end lands in the sender's wait for the answer.
    EXPECT_TRUE(thread.StopThread(300));
    EXPECT_FALSE(thread.returned);
    const std::vector<talvik_test::LogLine> expected{
        {2, talvik::FormatString("%s: Thread (id=%u, name\"%s\") was not stopped during %lu "
                                 "milliseconds and will be terminated!",
                                 "talvik::CBaseThread::StopThread", id, "blocked", 300ul)}};
    EXPECT_EQ(log.Lines(), expected);
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
        size_t n = 0;
        if (c.alternateWithReadData && call % 2 == 1) {
            n = sender.ReadData(copied, 50000, true);
            for (size_t i = 0; i < n; ++i)
                mismatches += copied[i] != talvik_test::MjpegStreamByte(released + i);
            released += n;
            continue;
        }
        n = sender.ReadHeld(data, seen);
        if (n == 0) break;
        for (size_t i = seen; i < n; ++i)
            mismatches += data[i] != talvik_test::MjpegStreamByte(released + i);
        const size_t done = n - std::min(n, c.keep);
        sender.Release(done);
        released += done;
        seen = n - done;
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

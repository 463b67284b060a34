// The sender and its GET helpers against loopback servers: authentication
// learning, TLS fallback, time-outs, cancel, streaming with a bounded buffer,
// result codes and messages.
#include "http/HttpSender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "base/Text.h"
#include "base/Thread.h"
#include "http/CameraRequest.h"
#include "http/HUtils.h"
#include "support/RecordingLogger.h"
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

HttpReply OkReply(const HttpExchange&) {
    HttpReply reply;
    reply.body = "model=AV";
    return reply;
}

HttpReply OkAndClose(const HttpExchange&) {
    HttpReply reply;
    reply.body = "model=AV";
    reply.closeConnection = true;
    return reply;
}

TestHttpServer::Options ServerOptions(ServerAuth auth, bool tls = false) {
    TestHttpServer::Options options;
    options.auth = auth;
    options.tls = tls;
    return options;
}

// ---------------------------------------------------------------- auth

struct AuthCase {
    const char* name;
    ServerAuth auth;
    std::string user;
    std::string password;
    std::vector<uint32_t> codes;    // one GET per entry
    std::vector<std::string> sent;  // Authorization per exchange: exact, or "Digest" prefix
    uint32_t learnedScheme;
};

class SenderAuthTest : public ::testing::TestWithParam<AuthCase> {};

TEST_P(SenderAuthTest, SchemeLearnedFromFirstChallenge) {
    const AuthCase& c = GetParam();
    TestHttpServer server(ServerOptions(c.auth), &OkReply);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port(), c.user, c.password));
    std::vector<uint32_t> codes;
    for (size_t i = 0; i < c.codes.size(); ++i) {
        std::vector<uint8_t> body;
        codes.push_back(HUtils::RequestGetRD(sender, "/get?model", body, false).code);
    }
    EXPECT_EQ(codes, c.codes);
    EXPECT_EQ(sender.GetAuthScheme(), c.learnedScheme);

    std::vector<HttpExchange> exchanges = server.Exchanges();
    ASSERT_EQ(exchanges.size(), c.sent.size());
    for (size_t i = 0; i < exchanges.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(exchanges[i].url, "/get?model");
        EXPECT_EQ(exchanges[i].userAgent, "Talvik::HttpSender");
        if (c.sent[i] == "Digest")
            EXPECT_EQ(exchanges[i].authorization.rfind("Digest username=\"admin\"", 0), 0u)
                << exchanges[i].authorization;
        else
            EXPECT_EQ(exchanges[i].authorization, c.sent[i]);
    }
}

const std::string kBasicAdmin = "Basic YWRtaW46c2VjcmV0";  // admin:secret
using Codes = std::vector<uint32_t>;
using Sent = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Servers, SenderAuthTest,
    ::testing::Values(AuthCase{"OpenServerStillGetsBasic", ServerAuth::kNone, "admin", "secret",
                               Codes{0, 0}, Sent{kBasicAdmin, kBasicAdmin}, Web::kAuthNone},
                      AuthCase{"DigestLearnedWithOneRepeatThenUsedFromTheStart",
                               ServerAuth::kDigest, "admin", "secret", Codes{0, 0, 0},
                               Sent{kBasicAdmin, "Digest", "Digest", "Digest"}, Web::kAuthDigest},
                      AuthCase{"DigestWrongPasswordGivesCredentialsCode", ServerAuth::kDigest,
                               "admin", "wrong", Codes{10, 10},
                               Sent{"Basic YWRtaW46d3Jvbmc=", "Digest", "Digest"},
                               Web::kAuthDigest},
                      // The first refusal of the scheme already used is not a learned
                      // scheme change and ends the request; from then on it is a status.
                      AuthCase{"BasicWrongPasswordSendFailsThenCredentialsCode", ServerAuth::kBasic,
                               "admin", "wrong", Codes{11, 10},
                               Sent{"Basic YWRtaW46d3Jvbmc=", "Basic YWRtaW46d3Jvbmc="},
                               Web::kAuthBasic},
                      AuthCase{"NoUserNameNoCredentials", ServerAuth::kDigest, "", "",
                               Codes{10, 10}, Sent{"", "", ""}, Web::kAuthDigest}),
    [](const ::testing::TestParamInfo<AuthCase>& info) { return info.param.name; });

TEST(SenderAuth, CredentialsMessageAfterLearning) {
    TestHttpServer server(ServerOptions(ServerAuth::kDigest), &OkReply);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port(), "admin", "wrong"));
    std::vector<uint8_t> body;
    talvik::CResultDef result = HUtils::RequestGetRD(sender, "/get?model", body, true);
    EXPECT_EQ(result.level, 1u);
    EXPECT_EQ(result.code, 10u);
    EXPECT_EQ(result.message,
              "talvik::HUtils::RequestGetRD: device 127.0.0.1:" + std::to_string(server.Port()) +
                  " is unable to process \"/get?model\" request: credentials are "
                  "invalid");
    EXPECT_EQ(sender.GetStatusCode(), 401u);
}

// Refused unless the path asks for "ok"; no credentials are checked.
HttpReply RefuseUnlessOk(const HttpExchange& exchange) {
    HttpReply reply;
    if (exchange.url.find("ok") != std::string::npos) return OkReply(exchange);
    reply.status = 401;
    reply.headers = {{"WWW-Authenticate", "Basic realm=\"camera\""}};
    return reply;
}

struct RefusalCase {
    const char* name;
    ServerAuth auth;
    std::string user;
    std::vector<std::string> paths;  // one request each
    std::vector<std::string> lines;  // level 1; %u: the server's port
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SenderRefusal : public ::testing::TestWithParam<RefusalCase> {};

// A refusal that outlasts the scheme learning is told once per run of
// refusals, with the scheme tried and never the password.
TEST_P(SenderRefusal, RefusedCredentialsAreNamedOncePerRun) {
    const RefusalCase& c = GetParam();
    TestHttpServer server(ServerOptions(c.auth),
                          c.auth == ServerAuth::kNone ? &RefuseUnlessOk : &OkReply);
    ASSERT_TRUE(server.Started());
    talvik_test::RecordingLogger log;
    CHttpSender sender(Device(server.Port(), c.user, "wrong"));
    sender.SetLogger(&log);
    std::vector<uint8_t> body;
    for (const std::string& path : c.paths)
        HUtils::RequestGetRD(sender, path, body, true);
    std::vector<talvik_test::LogLine> expected;
    for (const std::string& line : c.lines)
        expected.push_back({1, talvik::FormatString(line.c_str(), server.Port())});
    EXPECT_EQ(log.Lines(), expected);
}

const char kRefusedBasic[] =
    "talvik::Web::CHttpSender::SendRequest: Device 127.0.0.1:%u refused the credentials of user "
    "\"admin\" for \"/get?model\" (HTTP status 401, Basic scheme)";

INSTANTIATE_TEST_SUITE_P(
    Devices, SenderRefusal,
    ::testing::Values(
        RefusalCase{"WrongPasswordBasic",
                    ServerAuth::kBasic,
                    "admin",
                    {"/get?model", "/get?model", "/get?auxin"},
                    {kRefusedBasic}},
        RefusalCase{"WrongPasswordDigest",
                    ServerAuth::kDigest,
                    "admin",
                    {"/get?model", "/get?auxin"},
                    {"talvik::Web::CHttpSender::SendRequest: Device 127.0.0.1:%u refused the "
                     "credentials of user \"admin\" for \"/get?model\" (HTTP status 401, Digest "
                     "scheme)"}},
        RefusalCase{"AnAnswerEndsTheRun",
                    ServerAuth::kNone,
                    "admin",
                    {"/get?model", "/get?model", "/get?ok", "/get?model"},
                    {kRefusedBasic, kRefusedBasic}},
        RefusalCase{"NoUserConfigured",
                    ServerAuth::kBasic,
                    "",
                    {"/get?model", "/get?model"},
                    {"talvik::Web::CHttpSender::SendRequest: Device 127.0.0.1:%u asks for "
                     "credentials for \"/get?model\" and none are configured (HTTP status 401)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SenderAuth, StaleDigestNonceIsRenewedWithinTheRequest) {
    TestHttpServer::Options options = ServerOptions(ServerAuth::kDigest);
    options.nonceTimeoutS = 1;
    TestHttpServer server(options, &OkReply);
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

// ---------------------------------------------------------------- TLS

// Which scheme the sender starts with (TLS on the TLS default port), that it
// falls back to the other one once, and that it keeps what worked.
struct TlsCase {
    const char* name;
    bool tlsServer;
    bool onTlsDefaultPort;
    bool secureBefore, secureAfter;
    uint32_t connectionsAfterFirst, connectionsAfterSecond;
};

class SenderTls : public ::testing::TestWithParam<TlsCase> {};

TEST_P(SenderTls, SchemeFallbackIsLearned) {
    const TlsCase& c = GetParam();
    TestHttpServer server(ServerOptions(ServerAuth::kNone, c.tlsServer), &OkAndClose);
    ASSERT_TRUE(server.Started());
    std::unique_ptr<TlsDefaultPortOverride> tlsPort;
    if (c.onTlsDefaultPort) tlsPort = std::make_unique<TlsDefaultPortOverride>(server.Port());
    CHttpSender sender(Device(server.Port()));
    talvik::CHttpCameraRequest camera(sender);
    EXPECT_EQ(sender.IsSecure(), c.secureBefore);
    std::string text;
    EXPECT_TRUE(talvik::GetCameraBody(camera, "/get?model", text));
    EXPECT_EQ(text, "model=AV");
    EXPECT_EQ(sender.IsSecure(), c.secureAfter);
    EXPECT_EQ(server.Connections(), c.connectionsAfterFirst);
    EXPECT_TRUE(talvik::GetCameraOk(camera, "/get?model"));
    EXPECT_EQ(server.Connections(), c.connectionsAfterSecond);  // straight to what worked
    EXPECT_EQ(server.Exchanges().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, SenderTls,
    ::testing::Values(TlsCase{"PlainPortAnsweringOnlyTls", true, false, false, true, 2, 3},
                      TlsCase{"TlsDefaultPortStartsWithTls", true, true, true, true, 1, 2},
                      TlsCase{"PlainDeviceOnTlsDefaultPort", false, true, true, false, 2, 3}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return info.param.name; });

TEST(SenderCertificate, CheckedUnlessTheRequestWaivesIt) {
    TestHttpServer server(ServerOptions(ServerAuth::kNone, true), &OkReply);
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

// ---------------------------------------------------------------- time-out, cancel

void AcceptAndHold(int fd, RawTcpServer& server) {
    server.HoldOpen(fd);
}

void ReadHeadAndHold(int fd, RawTcpServer& server) {
    std::string head;
    if (server.ReadRequestHead(fd, &head)) server.HoldOpen(fd);
}

TEST(SenderTimeout, SendThatTimesOutIsNotRetried) {
    RawTcpServer server(&AcceptAndHold);  // never completes the TLS handshake
    ASSERT_TRUE(server.Started());
    TlsDefaultPortOverride tlsPort(server.Port());
    CHttpSender sender(Device(server.Port(), "admin", "secret", 300));
    EXPECT_FALSE(HUtils::SendGet(sender, "/get?model"));
    EXPECT_EQ(sender.GetLastError(), CHttpSender::kErrorTimeout);
    EXPECT_TRUE(sender.IsSecure());
    EXPECT_EQ(server.Connections(), 1u);
}

TEST(SenderTimeout, AnswerThatIsNotHttpIsNotRetried) {
    RawTcpServer server([](int fd, RawTcpServer& s) {
        std::string head;
        if (s.ReadRequestHead(fd, &head)) s.WriteAll(fd, "220 ftp.example ready\r\n\r\n");
    });
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    EXPECT_FALSE(HUtils::SendGet(sender, "/get?model"));
    EXPECT_EQ(sender.GetStatusCode(), 0u);
    EXPECT_EQ(server.Connections(), 1u);
}

// Cameras that hold a control request without ever completing it.
void ContinueEvery100Ms(int fd, RawTcpServer& server) {
    std::string head;
    if (!server.ReadRequestHead(fd, &head)) return;
    while (!server.Stopping() && server.WriteAll(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void TrickleBodyOneBytePerSecond(int fd, RawTcpServer& server) {
    std::string head;
    if (!server.ReadRequestHead(fd, &head) ||
        !server.WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"))
        return;
    while (!server.Stopping() && server.WriteAll(fd, "m"))
        std::this_thread::sleep_for(std::chrono::seconds(1));
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

struct DeadlineCase {
    const char* name;
    RawTcpServer::Handler camera;
    uint32_t level;
    uint32_t code;
    const char* message;  // %u: the server's port
};

void PrintTo(const DeadlineCase& c, std::ostream* os) {
    *os << c.name;
}

class SenderDeadline : public ::testing::TestWithParam<DeadlineCase> {};

// The device time-out (1500 ms here) bounds the whole request: connection,
// both schemes, the answer's head and its body.
TEST_P(SenderDeadline, RequestThatNeverCompletesEndsAtItsDeadline) {
    const DeadlineCase& c = GetParam();
    RawTcpServer server(c.camera);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port(), "admin", "secret", 1500));
    std::vector<uint8_t> body;
    talvik::CResultDef result;
    EXPECT_TRUE(FinishesWithin(sender, 15000, [&] {
        result = HUtils::RequestGetRD(sender, "/get?model", body, true);
    })) << "still waiting after ten deadlines";
    EXPECT_EQ(result.level, c.level);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, talvik::FormatString(c.message, server.Port()));
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(sender.GetLastError(), CHttpSender::kErrorTimeout);
    EXPECT_EQ(server.Connections(), 1u) << "no time is left for the other scheme";
}

const char kCannotSend[] =
    "talvik::HUtils::RequestGetRD: Cannot send request \"/get?model\" to device 127.0.0.1:%u";
const char kIncorrect[] =
    "talvik::HUtils::RequestGetRD: Incorrect response for request \"/get?model\" from device "
    "127.0.0.1:%u";

INSTANTIATE_TEST_SUITE_P(
    HostileCameras, SenderDeadline,
    ::testing::Values(DeadlineCase{"Silent", &ReadHeadAndHold, 4, 11, kCannotSend},
                      DeadlineCase{"ContinueEvery100Ms", &ContinueEvery100Ms, 4, 11, kCannotSend},
                      DeadlineCase{"BodyTrickledOneBytePerSecond", &TrickleBodyOneBytePerSecond, 2,
                                   12, kIncorrect}),
    [](const auto& info) { return std::string(info.param.name); });

const char kStreamHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=frame\r\n\r\n--frame\r\n";

TEST(SenderCancel, CancelFromAnotherThreadUnblocksReadData) {
    RawTcpServer server([](int fd, RawTcpServer& s) {
        std::string head;
        if (s.ReadRequestHead(fd, &head) && s.WriteAll(fd, kStreamHead)) s.HoldOpen(fd);
    });
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

TEST(SenderCancel, CancelWhileWaitingForTheHeadTriesNoOtherScheme) {
    RawTcpServer server(&ReadHeadAndHold);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port(), "admin", "secret", 30000));
    std::thread canceller([&] {
        while (server.Connections() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sender.Cancel();
    });
    EXPECT_FALSE(HUtils::SendGet(sender, "/get?model"));
    canceller.join();
    EXPECT_EQ(sender.GetLastError(), CHttpSender::kErrorCancelled);
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_FALSE(sender.IsSecure());
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
    RawTcpServer server(&ReadHeadAndHold);
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

// ---------------------------------------------------------------- GET helpers

HttpReply Route(const HttpExchange& exchange) {
    HttpReply reply;
    const std::string& url = exchange.url;
    if (url == "/ok") {
        reply.body = "model=AV";
    } else if (url == "/empty") {
    } else if (url == "/nocontent") {
        reply.status = 204;
    } else if (url == "/created") {
        reply.status = 201;
        reply.body = "id=1";
    } else if (url == "/moved") {
        reply.status = 302;
        reply.headers = {{"Location", "/ok"}};
        reply.body = "elsewhere";
    } else if (url == "/error") {
        reply.status = 500;
        reply.body = "oops";
    } else {
        reply.status = 404;
    }
    return reply;
}

struct ResultCase {
    const char* name;
    const char* path;
    bool readBody;
    uint32_t level;
    uint32_t code;
    const char* message;  // %u is the port
    std::string body;
};

class RequestGetRDTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(RequestGetRDTest, CodeLevelAndMessage) {
    const ResultCase& c = GetParam();
    TestHttpServer server(TestHttpServer::Options(), &Route);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    std::vector<uint8_t> body{'s', 't', 'a', 'l', 'e'};
    talvik::CResultDef result = HUtils::RequestGetRD(sender, c.path, body, c.readBody);
    EXPECT_EQ(result.level, c.level);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, talvik::FormatString(c.message, unsigned{server.Port()}));
    EXPECT_EQ(std::string(body.begin(), body.end()), c.body);
    EXPECT_EQ(server.Exchanges().size(), 1u);  // redirects are not followed
}

#define TAG "talvik::HUtils::RequestGetRD: "

INSTANTIATE_TEST_SUITE_P(
    Statuses, RequestGetRDTest,
    ::testing::Values(
        ResultCase{"OkWithBody", "/ok", true, 3, 0, "", "model=AV"},
        ResultCase{"CreatedIsSuccess", "/created", true, 3, 0, "", "id=1"},
        ResultCase{"EmptyBodyAsked", "/empty", true, 2, 12,
                   TAG "Incorrect response for request \"/empty\" from device 127.0.0.1:%u", ""},
        ResultCase{"NoContentBodyAsked", "/nocontent", true, 2, 12,
                   TAG "Incorrect response for request \"/nocontent\" from device 127.0.0.1:%u",
                   ""},
        ResultCase{"NotFound", "/get?nothing", true, 1, 9,
                   TAG "The \"/get?nothing\" URL was not found on device 127.0.0.1:%u", ""},
        ResultCase{"RedirectNotFollowed", "/moved", true, 1, 8,
                   TAG "device 127.0.0.1:%u is unable to process \"/moved\" request. HTTP status "
                       "code is 302",
                   ""},
        ResultCase{"ServerError", "/error", false, 1, 8,
                   TAG "device 127.0.0.1:%u is unable to process \"/error\" request. HTTP status "
                       "code is 500",
                   ""}),
    [](const ::testing::TestParamInfo<ResultCase>& info) { return info.param.name; });

TEST(RequestGetRD, NothingListeningGivesSendFailure) {
    uint16_t port = 0;
    {
        talvik_test::RawTcpServer closed([](int, talvik_test::RawTcpServer&) {});
        ASSERT_TRUE(closed.Started());
        port = closed.Port();
    }
    CHttpSender sender(Device(port));
    std::vector<uint8_t> body;
    talvik::CResultDef result = HUtils::RequestGetRD(sender, "/get?auxin", body, true);
    EXPECT_EQ(result.level, 4u);
    EXPECT_EQ(result.code, 11u);
    EXPECT_EQ(result.message,
              TAG "Cannot send request \"/get?auxin\" to device 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(sender.GetStatusCode(), 0u);
}

// The camera request over a sender: an empty body is no body (and leaves no
// stale text), another 2xx than 200 is an answer with its body, SendGet
// ignores the status, a cancel holds until Rearm.
TEST(HttpCameraRequest, StatusBodyAndCancel) {
    TestHttpServer server(TestHttpServer::Options(), &Route);
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

// ---------------------------------------------------------------- bodies

TEST(SenderBody, NoContentKeepsContentLengthZero) {
    RawTcpServer server([](int fd, RawTcpServer& s) {
        std::string head;
        if (s.ReadRequestHead(fd, &head))
            s.WriteAll(fd, "HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n");
        s.HoldOpen(fd);
    });
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(HUtils::SendGet(sender, "/set?light=50"));
    EXPECT_EQ(sender.GetStatusCode(), 204u);
    EXPECT_EQ(sender.GetContentLength(), 0u);
    std::vector<uint8_t> body{1, 2, 3};
    EXPECT_EQ(sender.ReadResponse(body), 0u);
    EXPECT_TRUE(body.empty());
}

struct BodyCase {
    const char* name;
    uint64_t streamBytes;  // a generated body when above 0
    bool announced;        // the generated body comes with its Content-Length
    std::string body;      // otherwise this body with its Content-Length
    uint32_t contentLength;
    uint32_t expectedRead;
};

class SenderBodyTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(SenderBodyTest, ReadResponseBudget) {
    const BodyCase& c = GetParam();
    TestHttpServer server(ServerOptions(ServerAuth::kNone), [&c](const HttpExchange&) {
        HttpReply reply;
        reply.body = c.body;
        reply.streamBytes = c.streamBytes;
        reply.announceStreamLength = c.announced;
        return reply;
    });
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(HUtils::SendGet(sender, "/image.jpg"));
    EXPECT_EQ(sender.GetContentLength(), c.contentLength);
    std::vector<uint8_t> body;
    ASSERT_EQ(sender.ReadResponse(body), c.expectedRead);
    size_t firstBad = body.size();
    for (size_t i = 0; i < body.size() && firstBad == body.size(); ++i) {
        uint8_t expected =
            c.streamBytes ? talvik_test::MjpegStreamByte(i) : static_cast<uint8_t>(c.body[i]);
        if (body[i] != expected) firstBad = i;
    }
    EXPECT_EQ(firstBad, body.size());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, SenderBodyTest,
    ::testing::Values(BodyCase{"WithoutLengthStopsAtOneMebibyte", 3u << 20, false, "", 0, 0x100000},
                      BodyCase{"WithLength", 0, false, std::string(20000, 'j'), 20000, 20000},
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
                      BodyCase{"AnnouncedLengthBelievedUpTo64MiB", 65u << 20, true, "", 65u << 20,
                               64u << 20},
#endif
                      BodyCase{"LongWithLength", 5u << 20, true, "", 5u << 20, 5u << 20}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return info.param.name; });

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
    TestHttpServer server(ServerOptions(ServerAuth::kNone), [&c](const HttpExchange&) {
        HttpReply reply;
        reply.streamBytes = c.streamBytes;
        reply.headers = {{"Content-Type", "multipart/x-mixed-replace;boundary=frame"}};
        return reply;
    });
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    const uint8_t* data = reinterpret_cast<const uint8_t*>(&c);
    EXPECT_EQ(sender.ReadHeld(data, 0), 0u);  // no request yet
    EXPECT_EQ(data, nullptr);
    ASSERT_TRUE(HUtils::SendGet(sender, "/mjpeg"));
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

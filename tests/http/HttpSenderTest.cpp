// The sender and its GET helpers over curl against loopback servers:
// authentication learning, TLS fallback, time-outs, cancel, streaming with a
// bounded buffer, result codes and messages.
#include "http/HttpSender.h"

#include <gtest/gtest.h>

#include "SenderTable.h"
#include "http/CameraRequest.h"
#include "support/TestHttpServer.h"

namespace {

using namespace talvik_http_test;
using namespace talvik_test;
namespace HUtils = talvik::HUtils;

// The camera's answers by path (tests/http/data/camera_answers.txt); any
// other path is not found.
HttpReply Reply(const HttpExchange& exchange) {
    static const auto rows = talvik::test::DataRows("http/data/camera_answers.txt");
    HttpReply reply;
    for (std::vector<std::string> r : rows) {
        r.resize(5, "-");
        if (r[0] != exchange.url) continue;
        reply = {unsigned(std::stoul(r[1])), r[2] == "-" ? "" : r[2], {}, r[4] == "close"};
        const size_t colon = r[3].find(": ");
        if (colon != std::string::npos)
            reply.headers = {{r[3].substr(0, colon), r[3].substr(colon + 2)}};
        return reply;
    }
    // "/stream?N": N bytes of StreamByte in chunks, "/length?N" with their
    // length, "/close?N" up to the end of the connection.
    reply.status = 404;
    for (const std::string kind : {"/stream?", "/length?", "/close?"}) {
        if (exchange.url.rfind(kind, 0) != 0) continue;
        reply.status = 200;
        reply.streamBytes = std::strtoull(exchange.url.c_str() + kind.size(), nullptr, 10);
        reply.announceStreamLength = kind == "/length?";
        reply.untilClose = kind == "/close?";
    }
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
class SenderRequest : public ::testing::TestWithParam<SenderCase> {};

TEST_P(SenderRequest, ResultsExchangesAndLog) {
    const SenderCase& c = GetParam();
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
        const ServerAuth auth = ServerAuth(kind == "basic" ? 1 : kind == "digest" ? 2 : 0);
        const unsigned nonceS = c.camera.find("-stale") != std::string::npos ? 1 : 300;
        http = std::make_unique<TestHttpServer>(
            TestHttpServer::Options{kind == "tls", auth, nonceS}, &Reply);
        ASSERT_TRUE(http->Started());
    }
    const uint16_t port = http ? http->Port() : raw->Port();
    if (kind == "closed") raw.reset();
    const auto connections = [&] {
        return ", " + std::to_string(http ? http->Connections() : raw ? raw->Connections() : 0);
    };
    const std::function<std::string()> sent = [&] {
        std::string text = "sent";
        for (const HttpExchange& e : http->Exchanges()) {
            EXPECT_EQ(e.userAgent, "Talvik::HttpSender");
            text += " " + e.url + " [" + e.authorization.substr(0, e.authorization.find(',')) + "]";
        }
        return text + "\n";
    };
    EXPECT_EQ(RunSenderCase(c, port, connections, http ? sent : nullptr, &StreamByte), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cameras, SenderRequest, ::testing::ValuesIn(SenderCases(false)),
                         [](const auto& info) { return info.param.name; });

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

}  // namespace

// The sender and its GET helpers over curl against loopback servers:
// authentication learning, TLS fallback, time-outs, cancel, streaming with a
// bounded buffer, result codes and messages.
#include "http/HttpSender.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SenderTable.h"
#include "base/MemoryBudget.h"
#include "http/CameraRequest.h"
#include "http/JpegAssembler.h"
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

// A device that speaks only TLS in front of the server on tlsPort: a plain
// request is answered with a TLS alert record (unexpected message) and the
// connection closed, as TLS stacks do; a TLS handshake goes through.
RawTcpServer::Handler TlsAlertFront(uint16_t tlsPort) {
    return [tlsPort](int fd, RawTcpServer& server) {
        pollfd in{fd, POLLIN, 0};
        char first = 0;
        while (!server.Stopping() && ::poll(&in, 1, 50) == 0) {
        }
        if (server.Stopping() || ::recv(fd, &first, 1, MSG_PEEK) != 1) return;
        if (first != 0x16) {
            std::string head;
            if (server.ReadRequestHead(fd, &head))
                server.WriteAll(fd, std::string("\x15\x03\x03\x00\x02\x02\x0a", 7));
            return;
        }
        const int up = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(tlsPort);
        if (up >= 0 && ::connect(up, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            pollfd both[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
            char buf[16384];
            bool open = true;
            while (open && !server.Stopping()) {
                if (::poll(both, 2, 50) <= 0) continue;
                for (int i = 0; i < 2 && open; ++i) {
                    if (both[i].revents == 0) continue;
                    const ssize_t n = ::recv(both[i].fd, buf, sizeof(buf), 0);
                    open = n > 0 && server.WriteAll(both[1 - i].fd, std::string(buf, size_t(n)));
                }
            }
        }
        if (up >= 0) ::close(up);
    };
}

// Cameras: open, basic, digest (-stale: nonces stale after a second), tls,
// tls-alert (TlsAlertFront), closed (nothing listening) or raw (a socket that
// writes first, then again every ms); -on-tls-port: on the sender's TLS
// default port; -slow: skipped
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
        if (c.camera == "tls-alert")
            raw = std::make_unique<RawTcpServer>(TlsAlertFront(http->Port()));
    }
    const uint16_t port = raw ? raw->Port() : http->Port();
    if (kind == "closed") raw.reset();
    const auto connections = [&] {
        return ", " + std::to_string(raw ? raw->Connections() : http ? http->Connections() : 0);
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

// A baseline JPEG of exactly `size` bytes (16x16, one component), its
// entropy-coded data free of FF.
std::string Picture(size_t size) {
    const std::string head(
        "\xFF\xD8\xFF\xC0\x00\x0B\x08\x00\x10\x00\x10\x01\x01\x11\x00"
        "\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00",
        25);
    std::string picture = head;
    for (size_t i = 0; picture.size() + 2 < size; ++i)
        picture += char(i % 251);
    return picture + "\xFF\xD9";
}

// An MJPEG body of pictures of these sizes read as a stream channel does,
// with a budget of `limit` bytes: a picture the storage cannot hold within
// the budget is dropped, the reader starts afresh at the next picture, and
// a run of such drops is logged once. Every byte comes back with the sender.
// Each body comes framed (through curl) and as a plain HTTP/1.0 body up to
// the close (read straight into the storage), and every picture must come
// whole, byte for byte, however the reads cut it.
TEST(HttpSenderBudget, PictureBeyondTheBudgetDroppedTheNextOnesDelivered) {
    const struct {
        size_t limit;
        std::vector<size_t> sizes, delivered;
        size_t logged;
    } rows[] = {
        {64 << 20, {20000, 600000, 20001, 20002}, {20000, 600000, 20001, 20002}, 0},
        {512 << 10, {20000, 600000, 20001, 20002}, {20000, 20001, 20002}, 1},
        {512 << 10, {20000, 600000, 700000, 20001, 20002, 600001}, {20000, 20001, 20002}, 1},
        {64 << 20,
         {250000, 250001, 262000, 250002, 9000},
         {250000, 250001, 262000, 250002, 9000},
         0},
    };
    for (const auto& row : rows)
        for (const bool framed : {true, false}) {
            SCOPED_TRACE(framed ? "framed" : "up to the close");
            std::string body;
            for (size_t size : row.sizes)
                body += "--b\r\nContent-Type: image/jpeg\r\n\r\n" + Picture(size) + "\r\n";
            std::unique_ptr<TestHttpServer> framing;
            std::unique_ptr<RawTcpServer> plain;
            uint16_t port = 0;
            if (framed) {
                framing = std::make_unique<TestHttpServer>(TestHttpServer::Options{},
                                                           [&](const HttpExchange&) {
                                                               return HttpReply{200, body, {}};
                                                           });
                ASSERT_TRUE(framing->Started());
                port = framing->Port();
            } else {
                plain = std::make_unique<RawTcpServer>([&](int fd, RawTcpServer& server) {
                    std::string head;
                    // The pause lets the head reach the sender alone, so
                    // that the body is read straight into the storage.
                    if (server.ReadRequestHead(fd, &head) &&
                        server.WriteAll(fd,
                                        "HTTP/1.0 200 OK\r\nContent-Type: "
                                        "multipart/x-mixed-replace;boundary=b\r\n\r\n")) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                        server.WriteAll(fd, body);
                    }
                });
                ASSERT_TRUE(plain->Started());
                port = plain->Port();
            }
            talvik::CMemoryBudget budget(row.limit);
            RecordingLogger log;
            std::vector<size_t> delivered;
            {
                talvik::Web::CHttpSender sender(Device(port));
                sender.SetMemoryBudget(&budget);
                sender.SetLogger(&log);
                talvik::CJpegAssembler assembler(
                    [&](const uint8_t* picture, size_t size, uint32_t, uint32_t) {
                        const bool whole = std::string(reinterpret_cast<const char*>(picture),
                                                       size) == Picture(size);
                        delivered.push_back(whole ? size : 0);
                    },
                    nullptr);
                ASSERT_TRUE(HUtils::SendGet(sender, "/video.mjpg"));
                const uint8_t* data = nullptr;
                size_t seen = 0;
                for (size_t count; (count = sender.ReadHeld(data, seen)) > 0;) {
                    const size_t done = assembler.Scan(data, count, seen);
                    sender.Release(done);
                    seen = count - done;
                }
                EXPECT_LE(budget.Used(), row.limit);
            }
            EXPECT_EQ(delivered, row.delivered);
            const LogLine dropped{2,
                                  "talvik::Web::CHttpSender::ReadHeld: The buffers of all streams "
                                  "are at their limit of 512 KiB: a picture of device 127.0.0.1:" +
                                      std::to_string(port) + " was dropped"};
            EXPECT_EQ(log.Lines(), std::vector<LogLine>(row.logged, dropped));
            EXPECT_EQ(budget.Used(), 0u);
        }
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

}  // namespace

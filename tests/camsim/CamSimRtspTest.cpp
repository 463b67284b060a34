// End to end: camsim's RTSP side as a bare client sees it: errors, fault
// rules and the session time-out the long-session tests rely on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "support/TestFiles.h"
#include "support/Threads.h"

namespace talvik {
namespace test {
namespace {

std::string RtspUrl(const CamSim& sim, const std::string& pathAndQuery) {
    return "rtsp://127.0.0.1:" + std::to_string(sim.RtspPort()) + pathAndQuery;
}

// A bare RTSP client: one request at a time, the status line back (the
// whole head with `head`). It sends no RTCP and no keep-alive, so only the
// session time-out can end its session.
class BareRtspClient {
public:
    explicit BareRtspClient(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    }
    ~BareRtspClient() { close(fd_); }

    std::string Request(const std::string& method, const std::string& uri,
                        const std::string& headers = "", std::string* head = nullptr) {
        const std::string request = method + " " + uri +
                                    " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) + "\r\n" +
                                    headers + "\r\n";
        send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        std::string reply;
        char buf[4096];
        pollfd p{fd_, POLLIN, 0};
        for (;;) {
            // Interleaved frames ("$", channel, 16-bit length) before the answer are skipped.
            while (reply.size() >= 4 && reply[0] == '$' &&
                   reply.size() >= 4 + size_t(uint8_t(reply[2]) << 8 | uint8_t(reply[3])))
                reply.erase(0, 4 + size_t(uint8_t(reply[2]) << 8 | uint8_t(reply[3])));
            const size_t end = reply.find("\r\n\r\n");
            if (reply[0] != '$' && end != std::string::npos) {
                if (head) *head = reply.substr(0, end + 4);
                return reply.substr(0, reply.find("\r\n"));
            }
            const ssize_t n = poll(&p, 1, 10000) == 1 ? read(fd_, buf, sizeof(buf)) : 0;
            if (n <= 0 || reply.size() > (1 << 20)) return "";
            reply.append(buf, size_t(n));
        }
    }

    // DESCRIBE, SETUP (UDP to ports nobody listens on, or interleaved) and
    // PLAY of a small stream; "Session: id\r\n" ("" on failure), the control
    // URL in *base and the SETUP answer's head in *setup.
    std::string Play(const CamSim& sim, bool interleaved, std::string* base, std::string* setup) {
        std::string describe;
        Request("DESCRIBE", RtspUrl(sim, "/h264.sdp?x1=160&y1=120&fps=5"),
                "Accept: application/sdp\r\n", &describe);
        *base = Header(describe, "Content-Base");
        Request("SETUP", *base + "stream=0",
                interleaved ? "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
                            : "Transport: RTP/AVP;unicast;client_port=50000-50001\r\n",
                setup);
        const std::string session = "Session: " + Header(*setup, "Session") + "\r\n";
        return Request("PLAY", *base, session) == "RTSP/1.0 200 OK" ? session : "";
    }

    static std::string Header(const std::string& reply, const std::string& name) {
        size_t pos = reply.find("\r\n" + name + ": ");
        if (pos == std::string::npos) return "";
        pos += name.size() + 4;
        return reply.substr(pos, reply.find_first_of(";\r", pos) - pos);
    }

private:
    int fd_;
    int cseq_ = 0;
};

TEST(CamSimRtsp, BadRequestsGetErrorsAndTheServerLivesOn) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    for (const auto& row : DataRows("camsim/data/bad_rtsp_requests.txt"))
        EXPECT_EQ(BareRtspClient(sim->RtspPort()).Request("DESCRIBE", RtspUrl(*sim, row[0])),
                  row[1]);
    EXPECT_EQ(sim->Get("/get?freq"), "freq=60\r\n");
}

// A simulator serving many sessions holds more than 1024 descriptors; its
// HTTP side must still answer (select() cannot watch such a descriptor).
TEST(CamSimRtsp, HttpAnswersWhileOver1024DescriptorsAreOpen) {
    const rlim_t wanted = 2400;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < wanted) GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
    limit.rlim_cur = std::max(limit.rlim_cur, wanted);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    auto sim = StartCamSim();  // inherits the limit
    ASSERT_TRUE(sim);
    std::vector<std::unique_ptr<BareRtspClient>> clients;
    for (int i = 0; i < 1100; ++i) {
        clients.push_back(std::make_unique<BareRtspClient>(sim->RtspPort()));
        // Answered: the simulator holds the connection's descriptor.
        ASSERT_EQ(clients.back()->Request("OPTIONS", RtspUrl(*sim, "/h264.sdp")),
                  "RTSP/1.0 200 OK");
    }
    EXPECT_EQ(sim->Get("/get?freq"), "freq=60\r\n");
}

// OPTIONS is answered normally (the server library dies when it fails it);
// the rule's one use goes to DESCRIBE.
TEST(CamSimRtsp, FaultRuleAnswersDescribeOnly) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/h264.sdp&status=404&count=1"), "ok\n");
    const std::string url = RtspUrl(*sim, "/h264.sdp?x1=160&y1=120");
    BareRtspClient client(sim->RtspPort());
    EXPECT_EQ(client.Request("OPTIONS", url), "RTSP/1.0 200 OK");
    EXPECT_EQ(client.Request("DESCRIBE", url), "RTSP/1.0 404 Not Found");
    EXPECT_EQ(BareRtspClient(sim->RtspPort()).Request("DESCRIBE", url), "RTSP/1.0 200 OK");
}

// A status rule that meets the keep-alive of a playing interleaved session
// (OPTIONS, then GET_PARAMETER) is answered, and the camera lives on.
TEST(CamSimRtsp, StatusRuleDuringPlayingInterleavedSessionKeepsServerAlive) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    BareRtspClient client(sim->RtspPort());
    std::string base, setup;
    const std::string session = client.Play(*sim, true, &base, &setup);
    ASSERT_NE(session, "") << setup;
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/&status=401"), "ok\n");
    EXPECT_EQ(client.Request("OPTIONS", base, session), "RTSP/1.0 200 OK");
    EXPECT_EQ(client.Request("GET_PARAMETER", base, session), "RTSP/1.0 401 Unauthorized");
    EXPECT_EQ(client.Request("OPTIONS", base, session), "RTSP/1.0 200 OK");
    ASSERT_EQ(sim->Get("/sim/fault?clear=1"), "ok\n");
    EXPECT_EQ(client.Request("GET_PARAMETER", base, session), "RTSP/1.0 200 OK");
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
}

// With --refresh-on GET_PARAMETER a session pinged with OPTIONS ends after
// the time-out (announced in SETUP) while one pinged with GET_PARAMETER
// lives on; a rule that names a method answers only that method.
TEST(CamSimRtsp, SessionTimeOutRefreshOnlyOnListedMethodsAndMethodRules) {
    auto sim = StartCamSim({"--session-timeout", "2", "--refresh-on", "GET_PARAMETER"});
    ASSERT_TRUE(sim);
    BareRtspClient options(sim->RtspPort()), getParameter(sim->RtspPort());
    std::string optionsBase, base, setup;
    const std::string optionsSession = options.Play(*sim, false, &optionsBase, &setup);
    const std::string session = getParameter.Play(*sim, false, &base, &setup);
    ASSERT_NE(optionsSession, "");
    ASSERT_NE(session, "");
    EXPECT_EQ(base, RtspUrl(*sim, "/h264.sdp/"));
    EXPECT_NE(setup.find("timeout=2"), std::string::npos) << setup;
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 2);
    EXPECT_TRUE(talvik_test::WaitUntil(
        [&] {
            EXPECT_EQ(getParameter.Request("GET_PARAMETER", base, session), "RTSP/1.0 200 OK");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return options.Request("OPTIONS", optionsBase, optionsSession) ==
                   "RTSP/1.0 454 Session Not Found";
        },
        30000));
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/h264.sdp&method=GET_PARAMETER&status=405"), "ok\n");
    EXPECT_EQ(getParameter.Request("GET_PARAMETER", base, session),
              "RTSP/1.0 405 Method Not Allowed");
    EXPECT_EQ(getParameter.Request("OPTIONS", base, session), "RTSP/1.0 200 OK");
    EXPECT_EQ(sim->Get("/sim/fault?prefix=/&method=get&status=405"), "400 Bad Request: method\r\n");
}

}  // namespace
}  // namespace test
}  // namespace talvik

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
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "support/CamSim.h"
#include "support/TestFiles.h"
#include "support/Threads.h"

namespace talvik {
namespace test {
namespace {

using talvik_test::WaitUntil;

// A bare RTSP client: one request at a time, the response head back. It
// sends no RTCP and no keep-alive, so only the session time-out can end its
// session.
class BareRtspClient {
public:
    explicit BareRtspClient(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~BareRtspClient() { close(fd_); }

    // Sends one request and returns the response head ("" on failure).
    std::string Request(const std::string& method, const std::string& uri,
                        const std::string& headers = "") {
        if (!connected_) return "";
        std::string request = method + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                              "\r\n" + headers + "\r\n";
        if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            return "";
        // Interleaved RTP and RTCP frames ("$", channel, 16-bit length) that
        // come before the answer are skipped.
        std::string reply;
        for (;;) {
            while (!reply.empty() && reply[0] == '$') {
                if (reply.size() < 4) break;
                const size_t frame = 4 + ((uint8_t(reply[2]) << 8) | uint8_t(reply[3]));
                if (reply.size() < frame) break;
                reply.erase(0, frame);
            }
            if ((reply.empty() || reply[0] != '$') && reply.find("\r\n\r\n") != std::string::npos)
                return reply.substr(0, reply.find("\r\n\r\n") + 4);
            if (reply.size() > (1 << 20)) return "";
            char buf[4096];
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return "";
            ssize_t n = read(fd_, buf, sizeof(buf));
            if (n <= 0) return "";
            reply.append(buf, static_cast<size_t>(n));
        }
    }

    static std::string Header(const std::string& reply, const std::string& name) {
        size_t pos = reply.find("\r\n" + name + ": ");
        if (pos == std::string::npos) return "";
        pos += name.size() + 4;
        return reply.substr(pos, reply.find_first_of(";\r", pos) - pos);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    int cseq_ = 0;
};

std::string StatusLine(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

TEST(CamSimRtsp, BadRequestsGetErrorsAndTheServerLivesOn) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    const std::pair<const char*, const char*> cases[] = {
        {"/h264.sdp?res=full&fps=abc", "RTSP/1.0 400 Bad Request"},
        {"/h264.sdp?x0=64&x1=32", "RTSP/1.0 400 Bad Request"},
        {"/h264.sdp5?x1=64&y1=64", "RTSP/1.0 404 Not Found"},
        {"/h264.sdp1x?x1=64&y1=64", "RTSP/1.0 404 Not Found"},
    };
    for (const auto& c : cases) {
        BareRtspClient client(sim->RtspPort());
        EXPECT_EQ(StatusLine(client.Request("DESCRIBE", sim->RtspUrl(c.first))), c.second)
            << c.first;
    }
    BareRtspClient client(sim->RtspPort());
    EXPECT_EQ(StatusLine(client.Request("DESCRIBE", sim->RtspUrl("/h264.sdp4?x1=64&y1=64"))),
              "RTSP/1.0 200 OK");
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
    const std::string url = sim->RtspUrl("/h264.sdp");
    std::vector<std::unique_ptr<BareRtspClient>> clients;
    for (int i = 0; i < 1100; ++i) {
        clients.push_back(std::make_unique<BareRtspClient>(sim->RtspPort()));
        // Answered: the simulator holds the connection's descriptor.
        ASSERT_EQ(StatusLine(clients.back()->Request("OPTIONS", url)), "RTSP/1.0 200 OK") << i;
    }
    long status = 0;
    EXPECT_EQ(sim->Get("/get?freq", &status), "freq=60\r\n");
    EXPECT_EQ(status, 200);
}

// OPTIONS is answered normally (the server library dies when it fails it);
// the rule's one use goes to DESCRIBE.
TEST(CamSimRtsp, FaultRuleAnswersDescribeOnly) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/h264.sdp&status=404&count=1"), "ok\n");
    const std::string url = sim->RtspUrl("/h264.sdp?x1=160&y1=120");
    BareRtspClient client(sim->RtspPort());
    EXPECT_EQ(StatusLine(client.Request("OPTIONS", url)), "RTSP/1.0 200 OK");
    EXPECT_EQ(StatusLine(client.Request("DESCRIBE", url)), "RTSP/1.0 404 Not Found");
    BareRtspClient again(sim->RtspPort());
    EXPECT_EQ(StatusLine(again.Request("DESCRIBE", url)), "RTSP/1.0 200 OK");
}

// A status rule that meets the keep-alive of a playing interleaved session
// (OPTIONS, then GET_PARAMETER) is answered, and the camera lives on.
TEST(CamSimRtsp, StatusRuleDuringPlayingInterleavedSessionKeepsServerAlive) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    BareRtspClient client(sim->RtspPort());
    const std::string url = sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=10");
    const std::string describe = client.Request("DESCRIBE", url, "Accept: application/sdp\r\n");
    ASSERT_EQ(StatusLine(describe), "RTSP/1.0 200 OK") << describe;
    const std::string base = BareRtspClient::Header(describe, "Content-Base");
    const std::string setup = client.Request("SETUP", base + "stream=0",
                                             "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    ASSERT_EQ(StatusLine(setup), "RTSP/1.0 200 OK") << setup;
    const std::string session = "Session: " + BareRtspClient::Header(setup, "Session") + "\r\n";
    ASSERT_EQ(StatusLine(client.Request("PLAY", base, session)), "RTSP/1.0 200 OK");
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/&status=401"), "ok\n");
    EXPECT_EQ(StatusLine(client.Request("OPTIONS", base, session)), "RTSP/1.0 200 OK");
    EXPECT_EQ(StatusLine(client.Request("GET_PARAMETER", base, session)),
              "RTSP/1.0 401 Unauthorized");
    EXPECT_EQ(StatusLine(client.Request("OPTIONS", base, session)), "RTSP/1.0 200 OK");
    ASSERT_EQ(sim->Get("/sim/fault?clear=1"), "ok\n");
    EXPECT_EQ(StatusLine(client.Request("GET_PARAMETER", base, session)), "RTSP/1.0 200 OK");
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
}

TEST(CamSimRtsp, SilentSessionTimesOut) {
    auto sim = StartCamSim({"--session-timeout", "2"});
    ASSERT_TRUE(sim);
    BareRtspClient client(sim->RtspPort());
    std::string url = sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=5");
    std::string describe = client.Request("DESCRIBE", url, "Accept: application/sdp\r\n");
    ASSERT_EQ(describe.substr(0, 15), "RTSP/1.0 200 OK") << describe;
    std::string base = BareRtspClient::Header(describe, "Content-Base");
    ASSERT_EQ(base, sim->RtspUrl("/h264.sdp/"));
    // Ports nobody listens on: the packets go nowhere and no RTCP comes back.
    std::string setup = client.Request("SETUP", base + "stream=0",
                                       "Transport: RTP/AVP;unicast;client_port=50000-50001\r\n");
    ASSERT_EQ(setup.substr(0, 15), "RTSP/1.0 200 OK") << setup;
    std::string session = BareRtspClient::Header(setup, "Session");
    ASSERT_FALSE(session.empty());
    EXPECT_NE(setup.find("timeout=2"), std::string::npos) << setup;
    std::string play = client.Request("PLAY", base, "Session: " + session + "\r\n");
    ASSERT_EQ(play.substr(0, 15), "RTSP/1.0 200 OK") << play;
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
    EXPECT_TRUE(WaitUntil([&] { return sim->Counter("rtsp_sessions") == 0; }, 30000));
    std::string again = client.Request("GET_PARAMETER", base, "Session: " + session + "\r\n");
    EXPECT_EQ(again.substr(0, 12), "RTSP/1.0 454") << again;
}

// A playing session of `client`: its Session id ("" on failure) and control URL.
std::string PlaySession(BareRtspClient& client, const CamSim& sim, std::string* base) {
    const std::string describe = client.Request(
        "DESCRIBE", sim.RtspUrl("/h264.sdp?x1=160&y1=120&fps=5"), "Accept: application/sdp\r\n");
    *base = BareRtspClient::Header(describe, "Content-Base");
    const std::string setup = client.Request(
        "SETUP", *base + "stream=0", "Transport: RTP/AVP;unicast;client_port=50000-50001\r\n");
    const std::string session = BareRtspClient::Header(setup, "Session");
    const std::string play = client.Request("PLAY", *base, "Session: " + session + "\r\n");
    return StatusLine(play) == "RTSP/1.0 200 OK" ? session : "";
}

// With --refresh-on GET_PARAMETER a session pinged with OPTIONS ends after
// the time-out while one pinged with GET_PARAMETER lives on; a rule that names
// a method answers only that method.
TEST(CamSimRtsp, RefreshOnlyOnListedMethodsAndMethodRules) {
    auto sim = StartCamSim({"--session-timeout", "2", "--refresh-on", "GET_PARAMETER"});
    ASSERT_TRUE(sim);
    BareRtspClient options(sim->RtspPort()), getParameter(sim->RtspPort());
    std::string optionsBase, base;
    const std::string optionsSession = PlaySession(options, *sim, &optionsBase);
    const std::string session = PlaySession(getParameter, *sim, &base);
    ASSERT_FALSE(optionsSession.empty());
    ASSERT_FALSE(session.empty());
    const std::string ping = "Session: " + session + "\r\n";
    EXPECT_TRUE(WaitUntil(
        [&] {
            EXPECT_EQ(StatusLine(getParameter.Request("GET_PARAMETER", base, ping)),
                      "RTSP/1.0 200 OK");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return StatusLine(options.Request("OPTIONS", optionsBase,
                                              "Session: " + optionsSession + "\r\n")) ==
                   "RTSP/1.0 454 Session Not Found";
        },
        30000));
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/h264.sdp&method=GET_PARAMETER&status=405"), "ok\n");
    EXPECT_EQ(StatusLine(getParameter.Request("GET_PARAMETER", base, ping)),
              "RTSP/1.0 405 Method Not Allowed");
    EXPECT_EQ(StatusLine(getParameter.Request("OPTIONS", base, ping)), "RTSP/1.0 200 OK");
    EXPECT_EQ(sim->Get("/sim/fault?prefix=/&method=get&status=405"), "400 Bad Request: method\r\n");
}

}  // namespace
}  // namespace test
}  // namespace talvik

// camsim itself, as the end-to-end tests rely on it: as a program (bad flags,
// stopping), its HTTP and RTSP sides (bad requests get errors and the camera
// lives on) and the RTSP session time-out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
        for (size_t end; (end = reply.find("\r\n\r\n")) == std::string::npos;) {
            const ssize_t n = poll(&p, 1, 10000) == 1 ? read(fd_, buf, sizeof(buf)) : 0;
            if (n <= 0 || reply.size() > (1 << 20)) return "";
            reply.append(buf, size_t(n));
        }
        if (head) *head = reply;
        return reply.substr(0, reply.find("\r\n"));
    }

    // DESCRIBE, SETUP (UDP to ports nobody listens on) and PLAY of a small
    // stream; "Session: id\r\n" ("" on failure), the control URL in *base and
    // the SETUP answer's head in *setup.
    std::string Play(const CamSim& sim, std::string* base, std::string* setup) {
        std::string describe;
        Request("DESCRIBE", RtspUrl(sim, "/h264.sdp?x1=160&y1=120&fps=5"),
                "Accept: application/sdp\r\n", &describe);
        *base = Header(describe, "Content-Base");
        Request("SETUP", *base + "stream=0",
                "Transport: RTP/AVP;unicast;client_port=50000-50001\r\n", setup);
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

TEST(CamSimCommandLine, BadArgumentsGiveUsageAndExitCode2) {
    for (const auto& c : DataRows("camsim/data/bad_arguments.txt")) {
        int exitCode = 0;
        const std::string out =
            RunCommand("'" + CamSim::BinaryPath() + "' " + c[0] + " 2>&1", 30000, &exitCode);
        EXPECT_EQ(exitCode, 2) << c[0];
        EXPECT_EQ(out.substr(0, out.find('\n')), c[1]);
        EXPECT_NE(out.find("Usage: camsim"), std::string::npos) << c[0];
    }
}

TEST(CamSimCommandLine, StopsCleanlyOnSignalsAndAfterItsDuration) {
    for (int signal : {SIGINT, SIGTERM}) {
        auto sim = StartCamSim();
        ASSERT_TRUE(sim);
        EXPECT_EQ(sim->Get("/get?channelenable"), "channelenable=1\r\n");
        EXPECT_EQ(sim->Stop(signal, 20000), 0) << "signal " << signal;
    }
    auto sim = StartCamSim({"--duration", "0.5"});
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->Stop(0, 20000), 0);
}

TEST(CamSim, BadRequestsGetErrorsAndTheCameraLivesOn) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    auto rows = DataRows("camsim/data/bad_requests.txt");
    rows.push_back({"http", std::string(5000, '/'), "414"});
    for (const auto& row : rows) {
        long status = 0;
        if (row[0] == "http") sim->Get(row[1], &status);
        EXPECT_EQ(row[0] == "http"
                      ? std::to_string(status)
                      : BareRtspClient(sim->RtspPort()).Request("DESCRIBE", RtspUrl(*sim, row[1])),
                  row[2])
            << row[1].substr(0, 40);
    }
    EXPECT_EQ(sim->Get("/get?channelenable"), "channelenable=15\r\n");
}

// With --refresh-on GET_PARAMETER a session pinged with OPTIONS ends after
// the time-out (announced in SETUP) while one pinged with GET_PARAMETER
// lives on; a rule that names a method answers only that method.
TEST(CamSimRtsp, SessionTimeOutRefreshOnlyOnListedMethodsAndMethodRules) {
    auto sim = StartCamSim({"--session-timeout", "2", "--refresh-on", "GET_PARAMETER"});
    ASSERT_TRUE(sim);
    BareRtspClient options(sim->RtspPort()), getParameter(sim->RtspPort());
    std::string optionsBase, base, setup;
    const std::string optionsSession = options.Play(*sim, &optionsBase, &setup);
    const std::string session = getParameter.Play(*sim, &base, &setup);
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

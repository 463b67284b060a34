// End to end: camsim's RTSP side as ffprobe sees it, alone and several at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "CamSimTestUtil.h"
#include "support/CamSim.h"
#include "support/TestFiles.h"

namespace talvik {
namespace test {
namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
        if (l == line) return true;
    }
    return false;
}

// Every frame of the requested size, one frame interval apart.
void ExpectFrames(const std::vector<ProbedFrame>& frames, size_t count, unsigned width,
                  unsigned height, unsigned fps, const std::string& output) {
    ASSERT_EQ(frames.size(), count) << output;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, width);
        EXPECT_EQ(frames[i].height, height);
        if (i > 0 && frames[i - 1].pts >= 0 && frames[i].pts >= 0) {
            EXPECT_NEAR(frames[i].pts - frames[i - 1].pts, 1.0 / fps, 0.002) << "frame " << i;
        }
    }
}

// A bare RTSP client that sets up and plays, then stays silent: no RTCP
// and no keep-alive, so only the session time-out can end its session.
class SilentRtspClient {
public:
    explicit SilentRtspClient(uint16_t port) : port_(port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~SilentRtspClient() { close(fd_); }

    // Sends one request and returns the response head ("" on failure).
    std::string Request(const std::string& method, const std::string& uri,
                        const std::string& headers) {
        if (!connected_) return "";
        std::string request = method + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                              "\r\n" + headers + "\r\n";
        if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            return "";
        std::string reply;
        char buf[4096];
        while (reply.find("\r\n\r\n") == std::string::npos && reply.size() < 65536) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return "";
            ssize_t n = read(fd_, buf, sizeof(buf));
            if (n <= 0) return "";
            reply.append(buf, static_cast<size_t>(n));
        }
        return reply;
    }

    static std::string Header(const std::string& reply, const std::string& name) {
        size_t pos = reply.find("\r\n" + name + ": ");
        if (pos == std::string::npos) return "";
        pos += name.size() + 4;
        return reply.substr(pos, reply.find_first_of(";\r", pos) - pos);
    }

private:
    uint16_t port_;
    int fd_ = -1;
    bool connected_ = false;
    int cseq_ = 0;
};

struct ProbeCase {
    const char* name;
    const char* transport;
    const char* auth;
    const char* scheme;
};

std::ostream& operator<<(std::ostream& out, const ProbeCase& c) {
    return out << c.name;
}

class RtspProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(RtspProbe, FfprobeDecodesTheRequestedSizeAndRate) {
    const ProbeCase& c = GetParam();
    auto sim = StartCamSim({"--auth", c.auth, "--user", "viewer", "--password", "pa55"});
    ASSERT_TRUE(sim);
    const std::string query = "?res=half&x0=0&y0=0&x1=640&y1=480&qp=30&doublescan=0&fps=10&ssn=131";
    int exitCode = 0;
    std::string output;
    auto frames = ProbeFrames(
        sim->RtspUrl("/h264.sdp" + query, std::string(c.auth) == "none" ? "" : "viewer:pa55"),
        std::string("-rtsp_transport ") + c.transport, 12, &exitCode, &output);
    ExpectFrames(frames, 12, 320, 240, 10, output);
    auto log = sim->Requests();
    EXPECT_TRUE(Contains(log, "DESCRIBE /h264.sdp" + query + " " + c.scheme)) << output;
    // The server's Content-Base drops the query; SETUP and PLAY use it.
    EXPECT_TRUE(Contains(log, std::string("SETUP /h264.sdp/stream=0 ") + c.scheme));
    EXPECT_TRUE(Contains(log, std::string("PLAY /h264.sdp/ ") + c.scheme));
}

INSTANTIATE_TEST_SUITE_P(CamSim, RtspProbe,
                         ::testing::Values(ProbeCase{"UdpNoAuth", "udp", "none", "none"},
                                           ProbeCase{"TcpNoAuth", "tcp", "none", "none"},
                                           ProbeCase{"UdpBasic", "udp", "basic", "basic"},
                                           ProbeCase{"TcpBasic", "tcp", "basic", "basic"},
                                           ProbeCase{"UdpDigest", "udp", "digest", "digest"},
                                           ProbeCase{"TcpDigest", "tcp", "digest", "digest"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CamSimRtsp, EncodesFullHdAtTwentyFiveLive) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::string output;
    auto frames = ProbeFrames(
        sim->RtspUrl(
            "/h264.sdp?res=full&x0=0&y0=0&x1=1920&y1=1080&qp=28&doublescan=0&fps=25&ssn=1"),
        "-rtsp_transport udp", 25, &exitCode, &output);
    ExpectFrames(frames, 25, 1920, 1080, 25, output);
}

TEST(CamSimRtsp, WrongCredentialsAreRefused) {
    auto sim = StartCamSim({"--auth", "digest", "--user", "viewer", "--password", "pa55"});
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::string output;
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120", "viewer:wrong"),
                              "-rtsp_transport tcp", 1, &exitCode, &output);
    EXPECT_TRUE(frames.empty());
    EXPECT_NE(output.find("401"), std::string::npos) << output;
}

TEST(CamSimRtsp, FourSensorsServeFourStreamsAtOnce) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    std::vector<ProbedFrame> frames[4];
    std::string outputs[4];
    std::vector<std::thread> probes;
    for (unsigned s = 0; s < 4; ++s) {
        probes.emplace_back([&, s] {
            // A distinct width per sensor shows that no stream is mixed up.
            std::string query = "?res=full&x0=0&y0=0&x1=" + std::to_string(128 + 32 * s) +
                                "&y1=96&fps=" + std::to_string(5 + 5 * s);
            int exitCode = 0;
            frames[s] = ProbeFrames(sim->RtspUrl("/h264.sdp" + std::to_string(s + 1) + query),
                                    s % 2 ? "-rtsp_transport tcp" : "-rtsp_transport udp", 8,
                                    &exitCode, &outputs[s]);
        });
    }
    for (auto& t : probes)
        t.join();
    for (unsigned s = 0; s < 4; ++s) {
        SCOPED_TRACE("sensor " + std::to_string(s + 1));
        ExpectFrames(frames[s], 8, 128 + 32 * s, 96, 5 + 5 * s, outputs[s]);
    }
    std::string stats = sim->Get("/sim/stats");
    for (unsigned s = 1; s <= 4; ++s)
        EXPECT_NE(
            stats.find("sensor=" + std::to_string(s) + " width=" + std::to_string(96 + 32 * s)),
            std::string::npos)
            << stats;
}

TEST(CamSimRtsp, UdpClientJoiningWhileTcpClientPlaysIsSafe) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    const std::string url = sim->RtspUrl("/h264.sdp?res=full&x0=0&y0=0&x1=160&y1=120&fps=10");
    std::vector<ProbedFrame> tcpFrames;
    std::string tcpOutput;
    std::thread tcp([&] {
        int exitCode = 0;
        tcpFrames = ProbeFrames(url, "-rtsp_transport tcp", 40, &exitCode, &tcpOutput);
    });
    WaitUntil([&] { return sim->StreamStat(1, "frames") >= 5; });
    int exitCode = 0;
    std::string udpOutput;
    auto udpFrames = ProbeFrames(url, "-rtsp_transport udp", 10, &exitCode, &udpOutput);
    tcp.join();
    ExpectFrames(udpFrames, 10, 160, 120, 10, udpOutput);
    ExpectFrames(tcpFrames, 40, 160, 120, 10, tcpOutput);
    EXPECT_EQ(sim->Get("/get?channelenable"), "channelenable=1\r\n");
}

TEST(CamSimRtsp, LoopsAPreEncodedFile) {
    char path[] = "/tmp/camsim-loop-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    int exitCode = 0;
    RunCommand(std::string("gst-launch-1.0 -q videotestsrc num-buffers=12 ! "
                           "video/x-raw,format=I420,width=176,height=144,framerate=25/1 ! "
                           "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=6 ! "
                           "video/x-h264,stream-format=byte-stream ! filesink location=") +
                   path,
               60000, &exitCode);
    ASSERT_EQ(exitCode, 0);
    auto sim = StartCamSim({"--h264-file", path});
    ASSERT_TRUE(sim);
    std::string output;
    // Three times the file's length: it must loop.
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?res=full&x1=1920&y1=1080&fps=25"),
                              "-rtsp_transport tcp", 36, &exitCode, &output);
    ExpectFrames(frames, 36, 176, 144, 25, output);
    long status = 0;
    std::string au = sim->Get("/h264f?res=full&x1=1920&y1=1080&Iframe=1", &status);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(au.substr(0, 5), std::string("\0\0\0\1\x67", 5));
    unlink(path);
}

TEST(CamSimRtsp, SilenceHoldsBackVideoThenResumes) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::string output;
    std::vector<ProbedFrame> frames;
    std::thread probe([&] {
        frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=10"), "-rtsp_transport tcp",
                             40, &exitCode, &output);
    });
    WaitUntil([&] { return sim->StreamStat(1, "frames") >= 5; });
    sim->Get("/sim/silence?seconds=1.5");
    probe.join();
    // Pictures that refer to held-back ones may not decode; most do.
    ASSERT_GE(frames.size(), 30u) << output;
    double longestGap = 0;
    for (size_t i = 1; i < frames.size(); ++i)
        longestGap = std::max(longestGap, frames[i].pts - frames[i - 1].pts);
    // The pictures carry the time they were taken: the silence shows as a gap.
    EXPECT_GT(longestGap, 1.0);
    EXPECT_EQ(sim->StreamStat(1, "teardowns"), 1);
}

TEST(CamSimRtsp, DroppedRtpPacketsAreCountedAndMissing) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/rtp-drop?percent=10"), "ok\n");
    int exitCode = 0;
    std::string output;
    ProbeFrames(sim->RtspUrl("/h264.sdp?x1=320&y1=240&fps=10"), "-rtsp_transport tcp", 15,
                &exitCode, &output);
    WaitUntil([&] { return sim->StreamStat(1, "active") == 0; });
    long long packets = sim->StreamStat(1, "rtp_packets");
    long long dropped = sim->StreamStat(1, "rtp_dropped");
    EXPECT_GT(packets, 50);
    EXPECT_EQ(dropped, packets / 10);
    EXPECT_GT(sim->StreamStat(1, "frames"), 0);
}

TEST(CamSimRtsp, DropSessionsEndsAPlayingClient) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::vector<ProbedFrame> frames;
    std::thread probe([&] {
        frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=10"), "-rtsp_transport tcp",
                             100000, &exitCode);
    });
    WaitUntil([&] { return sim->StreamStat(1, "frames") >= 5; });
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
    EXPECT_EQ(sim->Get("/sim/drop-sessions"), "ok\n");
    probe.join();
    EXPECT_LT(frames.size(), 100000u);
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 0);
}

TEST(CamSimRtsp, BadRequestsGetErrorsAndTheServerLivesOn) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    const std::pair<const char*, const char*> cases[] = {
        {"/h264.sdp?res=full&fps=abc", "400 Bad Request"},
        {"/h264.sdp2?res=quarter", "400 Bad Request"},
        {"/h264.sdp?x0=64&x1=32", "400 Bad Request"},
        {"/h264.sdp5?x1=64&y1=64", "404 Not Found"},
        {"/h264.sdp1x?x1=64&y1=64", "404 Not Found"},
        {"/other", "404 Not Found"},
    };
    for (const auto& c : cases) {
        int exitCode = 0;
        std::string output;
        auto frames =
            ProbeFrames(sim->RtspUrl(c.first), "-rtsp_transport tcp", 1, &exitCode, &output);
        EXPECT_TRUE(frames.empty()) << c.first;
        EXPECT_NE(output.find(std::string("Server returned ") + c.second), std::string::npos)
            << c.first << "\n"
            << output;
        EXPECT_TRUE(Contains(sim->Requests(), std::string("DESCRIBE ") + c.first + " none"));
    }
    EXPECT_EQ(sim->Get("/get?freq"), "freq=60\r\n");
}

TEST(CamSimRtsp, FaultRuleAnswersRtspRequests) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/h264.sdp&status=404&count=1"), "ok\n");
    int exitCode = 0;
    std::string output;
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120"), "-rtsp_transport tcp", 1,
                              &exitCode, &output);
    EXPECT_TRUE(frames.empty());
    // OPTIONS is answered normally (the server library cannot fail it safely);
    // the rule's one use goes to DESCRIBE, and the server lives on.
    EXPECT_NE(output.find("DESCRIBE failed: 404"), std::string::npos) << output;
    frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120"), "-rtsp_transport tcp", 1,
                         &exitCode, &output);
    EXPECT_EQ(frames.size(), 1u) << output;
}

TEST(CamSimRtsp, KilledTcpClientIsCleanedUp) {
    auto sim = StartCamSim({"--session-timeout", "2"});
    ASSERT_TRUE(sim);
    int exitCode = 0;
    // The client is killed mid-stream, without a TEARDOWN; its connection closes.
    RunCommand(
        "timeout -s KILL 5 ffprobe -v quiet -rtsp_transport tcp -read_intervals "
        "%+#100000 -show_frames " +
            ShellQuote(sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=25")) + " >/dev/null",
        60000, &exitCode);
    EXPECT_EQ(exitCode, 137);
    EXPECT_GT(sim->StreamStat(1, "frames"), 0);
    EXPECT_TRUE(WaitUntil([&] { return sim->StreamStat(1, "active") == 0; }));
    // The server ends the pipeline at once; the session record itself goes
    // when it times out.
    EXPECT_TRUE(WaitUntil([&] { return sim->Counter("rtsp_sessions") == 0; }));
    EXPECT_EQ(sim->StreamStat(1, "teardowns"), 0);
}

TEST(CamSimRtsp, SilentSessionTimesOut) {
    auto sim = StartCamSim({"--session-timeout", "2"});
    ASSERT_TRUE(sim);
    SilentRtspClient client(sim->RtspPort());
    std::string url = sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=5");
    std::string describe = client.Request("DESCRIBE", url, "Accept: application/sdp\r\n");
    ASSERT_EQ(describe.substr(0, 15), "RTSP/1.0 200 OK") << describe;
    std::string base = SilentRtspClient::Header(describe, "Content-Base");
    ASSERT_EQ(base, sim->RtspUrl("/h264.sdp/"));
    // Ports nobody listens on: the packets go nowhere and no RTCP comes back.
    std::string setup = client.Request("SETUP", base + "stream=0",
                                       "Transport: RTP/AVP;unicast;client_port=50000-50001\r\n");
    ASSERT_EQ(setup.substr(0, 15), "RTSP/1.0 200 OK") << setup;
    std::string session = SilentRtspClient::Header(setup, "Session");
    ASSERT_FALSE(session.empty());
    EXPECT_NE(setup.find("timeout=2"), std::string::npos) << setup;
    std::string play = client.Request("PLAY", base, "Session: " + session + "\r\n");
    ASSERT_EQ(play.substr(0, 15), "RTSP/1.0 200 OK") << play;
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
    EXPECT_TRUE(WaitUntil([&] { return sim->Counter("rtsp_sessions") == 0; }));
    std::string again = client.Request("GET_PARAMETER", base, "Session: " + session + "\r\n");
    EXPECT_EQ(again.substr(0, 12), "RTSP/1.0 454") << again;
}

TEST(CamSimRtsp, FaultDelayHoldsBackOnlyTheRuledClient) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/h264.sdp1&delay_ms=5000&count=1"), "ok\n");
    // The answer comes later than the client's 1-second limit: it gives up.
    int exitCode = 0;
    std::string output;
    std::vector<ProbedFrame> slowFrames;
    std::thread slow([&] {
        slowFrames = ProbeFrames(sim->RtspUrl("/h264.sdp1?x1=160&y1=120"),
                                 "-rtsp_transport tcp -timeout 1000000", 1, &exitCode, &output);
    });
    // Meanwhile another client is served.
    int otherExit = 0;
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=10"), "-rtsp_transport tcp",
                              3, &otherExit);
    slow.join();
    EXPECT_TRUE(slowFrames.empty()) << output;
    EXPECT_EQ(frames.size(), 3u);
}

}  // namespace
}  // namespace test
}  // namespace talvik

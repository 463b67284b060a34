// End to end: camsim's RTSP side as ffprobe sees it, alone and several at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "CamSimTestUtil.h"
#include "support/CamSim.h"

namespace talvik {
namespace test {
namespace {

std::unique_ptr<CamSim> StartSim(const std::vector<std::string>& args) {
    std::string error;
    auto sim = CamSim::Start(args, &error);
    EXPECT_TRUE(sim) << error;
    return sim;
}

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
    auto sim = StartSim({"--auth", c.auth, "--user", "viewer", "--password", "pa55"});
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

TEST(CamSimRtsp, WrongCredentialsAreRefused) {
    auto sim = StartSim({"--auth", "digest", "--user", "viewer", "--password", "pa55"});
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::string output;
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120", "viewer:wrong"),
                              "-rtsp_transport tcp", 1, &exitCode, &output);
    EXPECT_TRUE(frames.empty());
    EXPECT_NE(output.find("401"), std::string::npos) << output;
}

TEST(CamSimRtsp, FourSensorsServeFourStreamsAtOnce) {
    auto sim = StartSim({"--sensors", "4"});
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
    auto sim = StartSim({});
    ASSERT_TRUE(sim);
    const std::string url = sim->RtspUrl("/h264.sdp?res=full&x0=0&y0=0&x1=160&y1=120&fps=10");
    std::vector<ProbedFrame> tcpFrames;
    std::string tcpOutput;
    std::thread tcp([&] {
        int exitCode = 0;
        tcpFrames = ProbeFrames(url, "-rtsp_transport tcp", 40, &exitCode, &tcpOutput);
    });
    for (int i = 0; i < 2000 && sim->StreamStat(1, "frames") < 5; ++i)
        usleep(10000);
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
    auto sim = StartSim({"--h264-file", path});
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

TEST(CamSimRtsp, DroppedRtpPacketsAreCountedAndMissing) {
    auto sim = StartSim({});
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/rtp-drop?percent=10"), "ok\n");
    int exitCode = 0;
    std::string output;
    ProbeFrames(sim->RtspUrl("/h264.sdp?x1=320&y1=240&fps=10"), "-rtsp_transport tcp", 15,
                &exitCode, &output);
    for (int i = 0; i < 500 && sim->StreamStat(1, "active") != 0; ++i)
        usleep(10000);
    long long packets = sim->StreamStat(1, "rtp_packets");
    long long dropped = sim->StreamStat(1, "rtp_dropped");
    EXPECT_GT(packets, 50);
    EXPECT_EQ(dropped, packets / 10);
    EXPECT_GT(sim->StreamStat(1, "frames"), 0);
}

TEST(CamSimRtsp, DropSessionsEndsAPlayingClient) {
    auto sim = StartSim({});
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::vector<ProbedFrame> frames;
    std::thread probe([&] {
        frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=10"), "-rtsp_transport tcp",
                             100000, &exitCode);
    });
    for (int i = 0; i < 2000 && sim->StreamStat(1, "frames") < 5; ++i)
        usleep(10000);
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 1);
    EXPECT_EQ(sim->Get("/sim/drop-sessions"), "ok\n");
    probe.join();
    EXPECT_LT(frames.size(), 100000u);
    EXPECT_EQ(sim->Counter("rtsp_sessions"), 0);
}

TEST(CamSimRtsp, MalformedQueryGetsBadRequest) {
    auto sim = StartSim({});
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::string output;
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?res=full&fps=abc"), "-rtsp_transport tcp", 1,
                              &exitCode, &output);
    EXPECT_TRUE(frames.empty());
    EXPECT_NE(output.find("400"), std::string::npos) << output;
    EXPECT_TRUE(Contains(sim->Requests(), "DESCRIBE /h264.sdp?res=full&fps=abc none"));
    EXPECT_EQ(sim->Get("/get?freq"), "freq=60\r\n");
}

TEST(CamSimRtsp, FaultRuleAnswersRtspRequests) {
    auto sim = StartSim({});
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/fault?prefix=/h264.sdp&status=404&count=2"), "ok\n");
    int exitCode = 0;
    std::string output;
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120"), "-rtsp_transport tcp", 1,
                              &exitCode, &output);
    EXPECT_TRUE(frames.empty());
    EXPECT_NE(output.find("404"), std::string::npos) << output;
}

}  // namespace
}  // namespace test
}  // namespace talvik

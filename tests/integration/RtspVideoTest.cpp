// End to end: H.264 over RTSP from camsim through the module, recorded by the
// reference host (as a program, or in-process through its loader). ffprobe
// judges the files; camsim's request log and counters show what the module
// asked for and what the camera sent.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EndToEnd.h"

namespace {

using namespace talvik_e2e;
using Clock = std::chrono::steady_clock;

std::string SettingsXml(bool interleaved, uint32_t lightFrequency = 0) {
    std::string xml = "<Configuration><Default><BitrateMode>VBR</BitrateMode>";
    if (interleaved) xml += "<RTPMode>RTPoverRTSP</RTPMode>";
    if (lightFrequency != 0)
        xml +=
            "<IndoorLightFrequency>" + std::to_string(lightFrequency) + "</IndoorLightFrequency>";
    return xml + "</Default></Configuration>\n";
}

// `record --codec h264` over RTSP; the messages go to logName in outDir.
RecordRun RecordH264(const std::string& host, const CamSim& sim, const std::string& flags,
                     const std::string& outDir, const std::string& logName = "messages.txt") {
    int code = -1;
    RunCommand("mkdir -p '" + outDir + "'", 10000, &code);
    return Record(host, sim.HttpPort(),
                  "--param 2=" + std::to_string(sim.RtspPort()) + " --codec h264 " + flags, outDir,
                  outDir + "/" + logName);
}

// Frames sent by camsim on the RTSP streams whose DESCRIBE path starts with
// pathPrefix.
long long SentFrames(const CamSim& sim, const std::string& pathPrefix) {
    long long total = 0;
    const std::regex frames(" frames=([0-9]+) ");
    for (const std::string& line : SplitLines(sim.Get("/sim/stats"))) {
        std::smatch m;
        if (line.find(" kind=rtsp ") == std::string::npos ||
            line.find(" path=" + pathPrefix) == std::string::npos ||
            !std::regex_search(line, m, frames))
            continue;
        total += std::stoll(m[1]);
    }
    return total;
}

// The first access unit starts with SPS and PPS (3-byte start codes).
bool StartsWithParameterSets(const std::string& data) {
    return data.size() > 8 && data.compare(0, 4, std::string("\0\0\1\x67", 4)) == 0 &&
           data.find(std::string("\0\0\1\x68", 4)) != std::string::npos &&
           data.find(std::string("\0\0\1\x68", 4)) < data.find(std::string("\0\0\1\x65", 4));
}

struct Transport {
    const char* name;
    bool interleaved;
};

void PrintTo(const Transport& t, std::ostream* os) {
    *os << t.name;
}

std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param.name;
}

const Transport kTransports[] = {{"Udp", false}, {"Interleaved", true}};

// 1080p at 25 fps for 20 s: complete, decodable, key frames first, 40 ms steps,
// and the camera asked in the right order.
class RtspFullHd : public ::testing::TestWithParam<Transport> {};

TEST_P(RtspFullHd, TwentySecondsCompleteDecodableAndEvenlyTimed) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    const bool interleaved = GetParam().interleaved;
    // The light frequency goes out over UDP only, to see both request lists.
    HostCopy copy(SettingsXml(interleaved, interleaved ? 0 : 50));
    ASSERT_TRUE(copy.ok);
    const std::string out = copy.dir.Path() + "/out";
    // The camera falls silent before the host stops, so that frames still
    // in flight are not counted as sent but lost.
    std::thread silencer([&] {
        std::this_thread::sleep_for(std::chrono::seconds(17));
        sim->Get("/sim/silence?seconds=60");
    });
    const RecordRun run =
        RecordH264(copy.host, *sim, "--interval 40 --size 1920x1080 --duration 20", out);
    silencer.join();
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;

    const long long frames = JsonNumber(run.json, "frames");
    const long long sent = SentFrames(*sim, "/h264.sdp?");
    RecordProperty("frames", int(frames));
    RecordProperty("sent", int(sent));
    std::printf("frames %lld, camera sent %lld\n", frames, sent);
    // The simulator's 1080p encoder slows down on a loaded machine: what counts
    // is what it sent.
    EXPECT_GT(frames, 150);
    EXPECT_LE(std::llabs(sent - frames) * 100, sent) << "more than 1 % lost";
    EXPECT_EQ(JsonNumber(run.json, "signal_losses"), 0);

    const std::string file = out + "/rec_in0_h264.h264";
    const ProbeResult probe = Probe(file, "h264");
    EXPECT_EQ(probe.streamLine, "1920,1080," + std::to_string(frames));
    EXPECT_EQ(probe.errors, "");
    EXPECT_TRUE(StartsWithParameterSets(ReadFile(file)));

    const auto rows = ReadCsv(out + "/rec_in0_h264.csv");
    ASSERT_EQ(static_cast<long long>(rows.size()), frames);
    EXPECT_EQ(rows[0].fourcc, "H264");
    size_t keys = 0;
    for (const CsvRow& r : rows) {
        keys += r.fourcc == "H264";
        EXPECT_TRUE(r.fourcc == "H264" || r.fourcc == "I264") << r.fourcc;
        EXPECT_EQ(r.width, 1920u);
        EXPECT_EQ(r.height, 1080u);
    }
    // camsim sends one IDR picture per second.
    EXPECT_NEAR(double(keys), double(frames) / 25, 3.0);

    // Frame times from the RTP clock: 40 ms steps. The converter follows the
    // pace at which frames arrive: on a loaded machine, where the simulator's
    // encoder falls behind, the steps spread; the median holds.
    std::vector<long long> steps;
    for (size_t i = 1; i < rows.size(); ++i)
        steps.push_back(rows[i].timeMs - rows[i - 1].timeMs);
    std::sort(steps.begin(), steps.end());
    EXPECT_NEAR(double(steps[steps.size() / 2]), 40.0, 5.0);

    // The camera's requests, in order.
    const auto requests = RequestLines(*sim);
    std::vector<std::string> expected = {"GET /get?channelenable"};
    if (!interleaved) expected.push_back("GET /set?freq=50");
    expected.push_back("GET /setreg?page=3&reg=21&val=24");
    const std::string query =
        "/h264.sdp?res=full&x0=0&y0=0&x1=1920&y1=1080&qp=26&doublescan=0&fps=25&ssn=103";
    // The OPTIONS answer tells which keep-alive the camera takes.
    expected.push_back("OPTIONS " + query);
    expected.push_back("DESCRIBE " + query);
    expected.push_back("SETUP /h264.sdp/stream=0");
    expected.push_back("PLAY /h264.sdp/");
    ASSERT_GE(requests.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + expected.size()),
              expected);
    EXPECT_EQ(requests.back(), "TEARDOWN /h264.sdp/");
    EXPECT_EQ(CountPrefix(requests, "DESCRIBE "), 1u);
}

INSTANTIATE_TEST_SUITE_P(Transports, RtspFullHd, ::testing::ValuesIn(kTransports), TransportName);

// A camera that refreshes a session only on GET_PARAMETER (not on OPTIONS
// nor on RTCP) with a 5 s time-out, a 25 s recording: the session outlives
// five time-outs without a reconnect or a lost frame.
class RtspKeepAlive : public ::testing::TestWithParam<Transport> {};

TEST_P(RtspKeepAlive, SessionRefreshedOnlyByGetParameterOutlivesItsTimeOuts) {
    auto sim = StartCamSim({"--session-timeout", "5", "--refresh-on", "GET_PARAMETER"});
    ASSERT_TRUE(sim);
    HostCopy copy(SettingsXml(GetParam().interleaved));
    ASSERT_TRUE(copy.ok);
    const std::string out = copy.dir.Path() + "/out";
    const RecordRun run =
        RecordH264(copy.host, *sim, "--interval 40 --size 320x180 --duration 25", out);
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const long long frames = JsonNumber(run.json, "frames");
    const long long sent = SentFrames(*sim, "/h264.sdp?");
    std::printf("frames %lld, camera sent %lld\n", frames, sent);
    EXPECT_GT(frames, 500);
    EXPECT_LE(std::llabs(sent - frames) * 100, sent);
    EXPECT_EQ(JsonNumber(run.json, "signal_losses"), 0);
    const auto requests = RequestLines(*sim);
    EXPECT_EQ(CountPrefix(requests, "DESCRIBE "), 1u) << "the session was never lost";
    // At half the time-out the camera states.
    EXPECT_GE(CountPrefix(requests, "GET_PARAMETER /h264.sdp/"), 8u);
    EXPECT_EQ(Probe(out + "/rec_in0_h264.h264", "h264").errors, "");
}

INSTANTIATE_TEST_SUITE_P(Transports, RtspKeepAlive, ::testing::ValuesIn(kTransports),
                         TransportName);

// 2 % of the RTP packets lost on the way (over UDP; the depacketiser is the
// same for both transports): every frame that reaches the host
// is whole (it decodes cleanly), and after each gap the next frame is a key
// frame.
TEST(RtspVideo, PacketLossGivesOnlyWholeFramesAndKeyFramesAfterGaps) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/rtp-drop?percent=2"), "ok\n");
    HostCopy copy(SettingsXml(false));
    ASSERT_TRUE(copy.ok);
    const std::string out = copy.dir.Path() + "/out";
    const RecordRun run =
        RecordH264(copy.host, *sim, "--interval 40 --size 640x360 --duration 12", out);
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const long long frames = JsonNumber(run.json, "frames");
    const long long sent = SentFrames(*sim, "/h264.sdp?");
    ASSERT_GT(sim->StreamStat(1, "rtp_dropped"), 0);
    std::printf("frames %lld of %lld sent, %lld packets dropped\n", frames, sent,
                sim->StreamStat(1, "rtp_dropped"));
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, sent);
    const ProbeResult probe = Probe(out + "/rec_in0_h264.h264", "h264");
    EXPECT_EQ(probe.streamLine, "640,360," + std::to_string(frames));
    EXPECT_EQ(probe.errors, "");
    const auto rows = ReadCsv(out + "/rec_in0_h264.csv");
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].fourcc, "H264");
    size_t gaps = 0;
    // A lost packet costs every frame up to the next key frame, a gap of
    // several frame times; shorter gaps come from the live encoder falling
    // behind on a loaded machine and say nothing about loss.
    for (size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].timeMs - rows[i - 1].timeMs < 200) continue;
        ++gaps;
        EXPECT_EQ(rows[i].fourcc, "H264") << "frame " << i << " after a gap";
    }
    EXPECT_GT(gaps, 0u);
}

// Four sensors at once, each to a file of its own.
TEST(RtspVideo, FourSensorsAtOnceEachToItsOwnFile) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    TempDir dir;
    std::vector<RecordRun> runs(4);
    std::vector<std::thread> threads;
    for (uint32_t input = 0; input < 4; ++input) {
        threads.emplace_back([&, input] {
            runs[input] = RecordH264(kHost, *sim,
                                     "--sensors 4 --input " + std::to_string(input) +
                                         " --interval 40 --size 320x180 --duration 8",
                                     dir.Path(), "messages" + std::to_string(input) + ".txt");
        });
    }
    for (std::thread& t : threads)
        t.join();
    const auto requests = RequestLines(*sim);
    EXPECT_EQ(CountPrefix(requests, "GET /get?channelenable"), 4u);
    EXPECT_EQ(CountPrefix(requests, "GET /setreg?page=3&reg=100&val=24"), 1u);
    EXPECT_EQ(CountPrefix(requests, "GET /setreg?page=3&reg=21"), 0u);
    for (uint32_t input = 0; input < 4; ++input) {
        SCOPED_TRACE("input " + std::to_string(input));
        ASSERT_EQ(runs[input].exitCode, 0) << runs[input].json << runs[input].log;
        const std::string path = "/h264.sdp" + std::to_string(input + 1) + "?";
        EXPECT_EQ(CountPrefix(requests, "DESCRIBE " + path), 1u);
        const long long frames = JsonNumber(runs[input].json, "frames");
        const long long sent = SentFrames(*sim, path);
        EXPECT_GT(frames, 100);
        EXPECT_LE(std::llabs(sent - frames) * 100, sent);
        const std::string file = dir.Path() + "/rec_in" + std::to_string(input) + "_h264.h264";
        const ProbeResult probe = Probe(file, "h264");
        EXPECT_EQ(probe.streamLine, "320,180," + std::to_string(frames));
        EXPECT_EQ(probe.errors, "");
    }
}

TEST(RtspVideo, PauseStopsFramesSendsPauseAndPlayAndLosesNoSignal) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(*sim, kCodecH264);
    ASSERT_TRUE(host.Start(320, 180, 25)) << host.Error();
    ASSERT_TRUE(host.Capture()->PauseVideo(0));
    // A frame already inside the host's sink may still finish.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t paused = host.Sink().FrameCount();
    ASSERT_TRUE(
        WaitUntil([&] { return CountPrefix(RequestLines(*sim), "PAUSE /h264.sdp/") == 1; }, 10000));
    std::this_thread::sleep_for(std::chrono::seconds(30));
    EXPECT_EQ(host.Sink().FrameCount(), paused);
    EXPECT_EQ(host.Status(), 0u);
    ASSERT_TRUE(host.Capture()->ResumeVideo(0));
    ASSERT_TRUE(host.Sink().WaitForFrames(paused + 25, 30000));
    const auto requests = RequestLines(*sim);
    EXPECT_EQ(CountPrefix(requests, "PLAY /h264.sdp/"), 2u);
    EXPECT_EQ(CountPrefix(requests, "DESCRIBE "), 1u);
    EXPECT_EQ(host.Sink().SignalLostCount(), 0u);
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A silent camera: status 2 after about 5 s, the host told after about 10 s,
// a new session and frames again once it sends.
TEST(RtspVideo, SilentCameraIsLostReportedAndRecovered) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(*sim, kCodecH264);
    ASSERT_TRUE(host.Start(320, 180, 25)) << host.Error();
    ASSERT_TRUE(WaitUntil([&] { return host.Status() == 0; }, 10000));
    const auto silenced = Clock::now();
    ASSERT_EQ(sim->Get("/sim/silence?seconds=20"), "ok\n");
    ASSERT_TRUE(WaitUntil([&] { return host.Status() == 2; }, 30000));
    const double lostAfter = SecondsSince(silenced);
    ASSERT_TRUE(WaitUntil([&] { return host.Sink().SignalLostCount() >= 1; }, 40000));
    const double toldAfter = SecondsSince(silenced);
    std::printf("status 2 after %.1f s, host told after %.1f s\n", lostAfter, toldAfter);
    RecordProperty("status2_after_ms", int(lostAfter * 1000));
    RecordProperty("told_after_ms", int(toldAfter * 1000));
    EXPECT_GE(lostAfter, 4.5);
    EXPECT_GE(toldAfter, 9.5);
    const uint64_t before = host.Sink().FrameCount();
    ASSERT_TRUE(host.Sink().WaitForFrames(before + 25, 60000));
    EXPECT_GE(SecondsSince(silenced), 19.5);
    EXPECT_TRUE(WaitUntil([&] { return host.Status() == 0; }, 10000));
    EXPECT_GE(CountPrefix(RequestLines(*sim), "DESCRIBE "), 2u);
    // The first frame of the new session is a key frame.
    const auto frames = host.Sink().Frames();
    EXPECT_EQ(frames.at(before).fourcc, talvik::kFourCCH264);
}

TEST(RtspVideo, CameraRebootResumesByItself) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(*sim, kCodecH264);
    ASSERT_TRUE(host.Start(320, 180, 25)) << host.Error();
    ASSERT_EQ(sim->Get("/sim/reboot?seconds=3"), "ok\n");
    ASSERT_TRUE(WaitUntil([&] { return CountPrefix(RequestLines(*sim), "PLAY ") >= 2; }, 60000));
    const uint64_t before = host.Sink().FrameCount();
    ASSERT_TRUE(host.Sink().WaitForFrames(before + 25, 30000));
    std::printf("signal losses told: %llu\n",
                static_cast<unsigned long long>(host.Sink().SignalLostCount()));
}

// Inodes of this process's sockets.
std::set<std::string> OwnSocketInodes() {
    std::set<std::string> out;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        char target[256];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        const std::string t(target, size_t(n));
        if (t.compare(0, 8, "socket:[") == 0) out.insert(t.substr(8, t.size() - 9));
    }
    closedir(d);
    return out;
}

// "port:inode" of this process's UDP sockets bound to the RTP/RTCP range.
std::set<std::string> OwnRtpSockets() {
    const auto inodes = OwnSocketInodes();
    std::set<std::string> out;
    for (const std::string& line : SplitLines(ReadFile("/proc/net/udp"))) {
        std::istringstream in(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
        in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >>
            inode;
        const size_t colon = local.find(':');
        if (colon == std::string::npos || inodes.count(inode) == 0) continue;
        const unsigned port = unsigned(std::stoul(local.substr(colon + 1), nullptr, 16));
        if (port >= 3556 && port < 4556) out.insert(std::to_string(port) + ":" + inode);
    }
    return out;
}

TEST(RtspVideo, UpdateVideoReconnectsOnTheSamePortsWithTheNewSize) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(*sim, kCodecH264);
    ASSERT_TRUE(host.Start(640, 360, 10)) << host.Error();
    const auto sockets = OwnRtpSockets();
    ASSERT_EQ(sockets.size(), 2u);  // RTP and RTCP
    ASSERT_TRUE(host.Resize(320, 180));
    EXPECT_EQ(OwnRtpSockets(), sockets);
    const auto requests = RequestLines(*sim);
    ASSERT_EQ(CountPrefix(requests, "DESCRIBE "), 2u);
    EXPECT_EQ(CountPrefix(requests, "DESCRIBE /h264.sdp?res=full&x0=0&y0=0&x1=320&y1=180&"), 1u);
    // A reconnect for new parameters does not prepare the camera again.
    EXPECT_EQ(CountPrefix(requests, "GET /get?channelenable"), 1u);
    EXPECT_EQ(host.Sink().SignalLostCount(), 0u);
}

}  // namespace

// End to end on Windows: the cross-built reference host and DLL run under Wine
// against camsim on loopback, one recording per transport, and ffprobe judges
// what they wrote. Skipped when the Windows build is missing (scripts/build-windows
// makes it; $TALVIK_WIN32_DIR names another).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/CamSim.h"
#include "support/TestFiles.h"

namespace {

using talvik::test::CamSim;
using talvik::test::ReadFile;
using talvik::test::RunCommand;
using talvik::test::SplitLines;
using talvik::test::StartCamSim;
using talvik::test::TempDir;

std::string WindowsBuild() {
    const char* dir = std::getenv("TALVIK_WIN32_DIR");
    return dir != nullptr ? dir : TALVIK_SOURCE_DIR "/build-win32";
}

// The host and the DLL copied into a directory of their own, with a
// settings file beside them, as an installation has them.
struct WineHost {
    TempDir dir{"talvik-wine"};
    std::string exe;

    bool Install(const std::string& settingsXml, std::string* why) {
        const std::string build = WindowsBuild();
        const std::string host = build + "/tools/host/talvik-host.exe";
        const std::string dll = build + "/talvik_arecont.dll";
        if (!std::ifstream(host) || !std::ifstream(dll)) {
            *why = "no Windows build in " + build;
            return false;
        }
        int code = -1;
        RunCommand("cp '" + host + "' '" + dll + "' '" + dir.Path() + "/' && mkdir '" + dir.Path() +
                       "/out'",
                   20000, &code);
        std::ofstream(dir.Path() + "/talvik_arecont.xml") << settingsXml;
        exe = dir.Path() + "/talvik-host.exe";
        *why = "copy failed";
        return code == 0;
    }

    // Runs a command of the host under Wine from its directory; stdout, with
    // the module's messages in messages.txt.
    std::string Run(const std::string& arguments, int* exitCode) const {
        return RunCommand("cd '" + dir.Path() + "' && WINEDEBUG=-all wine '" + exe + "' " +
                              arguments + " 2>messages.txt",
                          240000, exitCode);
    }
    std::string Messages() const { return ReadFile(dir.Path() + "/messages.txt"); }
};

long long JsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":([0-9]+)"))) return -1;
    return std::stoll(m[1]);
}

// Decoded frames of a recorded file and ffprobe's complaints.
std::string Probe(const std::string& file, const std::string& format, std::string* errors) {
    int code = -1;
    const std::string out = RunCommand("ffprobe -v error -f " + format +
                                           " -count_frames -select_streams v:0 -show_entries "
                                           "stream=width,height,nb_read_frames -of csv=p=0 '" +
                                           file + "' 2>'" + file + ".probe'",
                                       180000, &code);
    *errors = ReadFile(file + ".probe");
    const auto lines = SplitLines(out);
    return code == 0 && lines.size() == 1 ? lines[0] : "ffprobe failed: " + out;
}

// Access units camsim sent on its RTSP streams.
long long SentFrames(const CamSim& sim) {
    long long total = 0;
    const std::regex frames(" frames=([0-9]+) ");
    for (const std::string& line : SplitLines(sim.Get("/sim/stats"))) {
        std::smatch m;
        if (line.find(" kind=rtsp ") != std::string::npos && std::regex_search(line, m, frames))
            total += std::stoll(m[1]);
    }
    return total;
}

void PrintTo(const struct Recording& r, std::ostream* os);

const char kCredentials[] = " --user admin --password secret";

struct Recording {
    const char* name;
    const char* auth;     // camsim --auth: none, basic or digest
    const char* rtpMode;  // settings file RTPMode, "" for the default (UDP)
    const char* flags;    // record flags besides address, port and credentials
    const char* file;     // what the host writes
    const char* format;   // for ffprobe
    long long minFrames;
    bool rtsp;  // counted against what camsim sent
};

// Every transport, each with the camera's credentials. RTSP runs 10 s at
// 25 fps and falls silent after 8 s, so that nothing is in flight at the stop.
const Recording kRecordings[] = {
    {"RtspUdp", "digest", "", "--codec h264 --interval 40 --duration 10", "rec_in0_h264.h264",
     "h264", 100, true},
    {"RtspInterleaved", "basic", "<RTPMode>RTPoverRTSP</RTPMode>",
     "--codec h264 --interval 40 --duration 10", "rec_in0_h264.h264", "h264", 100, true},
    {"MjpegBasic", "basic", "", "--codec jpeg --interval 40 --duration 6", "rec_in0_jpeg.mjpeg",
     "mjpeg", 75, false},
    {"MjpegDigest", "digest", "", "--codec jpeg --interval 40 --duration 6", "rec_in0_jpeg.mjpeg",
     "mjpeg", 75, false},
    {"JpegPicturesDigest", "digest", "", "--codec jpeg --interval 1500 --duration 8",
     "rec_in0_jpeg.mjpeg", "mjpeg", 3, false},
    {"H264KeyFramesBasic", "basic", "", "--codec h264 --interval 1500 --duration 8",
     "rec_in0_h264.h264", "h264", 3, false},
};

void PrintTo(const Recording& r, std::ostream* os) {
    *os << r.name;
}

class WineRecord : public ::testing::TestWithParam<Recording> {};

TEST_P(WineRecord, EveryFrameArrivesDecodable) {
    const Recording& r = GetParam();
    WineHost host;
    std::string why;
    if (!host.Install(
            std::string("<Configuration><Default>") + r.rtpMode + "</Default></Configuration>\n",
            &why))
        GTEST_SKIP() << why;
    auto sim = StartCamSim({"--auth", r.auth, "--user", "admin", "--password", "secret"});
    ASSERT_TRUE(sim);
    std::thread silencer;
    if (r.rtsp)
        silencer = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::seconds(8));
            sim->Get("/sim/silence?seconds=60");
        });
    int code = -1;
    const std::string json =
        host.Run("record --address 127.0.0.1 --port " + std::to_string(sim->HttpPort()) +
                     " --param 2=" + std::to_string(sim->RtspPort()) + kCredentials +
                     " --json --out out " + r.flags,
                 &code);
    if (silencer.joinable()) silencer.join();
    ASSERT_EQ(code, 0) << json << host.Messages();
    const long long frames = JsonNumber(json, "frames");
    EXPECT_GE(frames, r.minFrames) << json;
    EXPECT_EQ(JsonNumber(json, "signal_losses"), 0) << json << host.Messages();
    if (r.rtsp) {
        const long long sent = SentFrames(*sim);
        EXPECT_LE(std::llabs(sent - frames) * 100, sent) << "more than 1 % lost of " << sent;
    }
    std::string errors;
    const std::string probe = Probe(host.dir.Path() + "/out/" + r.file, r.format, &errors);
    EXPECT_EQ(probe.substr(probe.rfind(',') + 1), std::to_string(frames)) << probe;
    EXPECT_EQ(errors, "");
}

INSTANTIATE_TEST_SUITE_P(Transports, WineRecord, ::testing::ValuesIn(kRecordings),
                         [](const auto& info) { return std::string(info.param.name); });

// The camera falls silent and stays so: the host's stop still ends the
// channel's thread by its stop event, without the forced end.
TEST(WineStop, StopWhileTheCameraIsSilentNeedsNoForcedEnd) {
    WineHost host;
    std::string why;
    if (!host.Install("<Configuration><Default/></Configuration>\n", &why)) GTEST_SKIP() << why;
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    // Silent once the stream runs (Wine's start-up takes seconds on a busy
    // machine).
    std::thread silencer([&] {
        for (int i = 0; i < 600 && sim->StreamStat(1, "frames") < 25; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim->Get("/sim/silence?seconds=120");
    });
    int code = -1;
    const auto start = std::chrono::steady_clock::now();
    const std::string json =
        host.Run("record --address 127.0.0.1 --port " + std::to_string(sim->HttpPort()) +
                     " --codec jpeg --interval 40 --duration 10 --json --discard",
                 &code);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    silencer.join();
    std::printf("record with a silent camera took %lld s\n", static_cast<long long>(seconds));
    EXPECT_EQ(code, 0) << json;
    EXPECT_GT(JsonNumber(json, "frames"), 0) << json;
    const std::string messages = host.Messages();
    EXPECT_EQ(messages.find("cannot be stopped"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("terminated"), std::string::npos) << messages;
}

TEST(WineProbe, DigestCameraAnswersEveryQuestion) {
    WineHost host;
    std::string why;
    if (!host.Install("<Configuration><Default/></Configuration>\n", &why)) GTEST_SKIP() << why;
    auto sim = StartCamSim({"--auth", "digest", "--user", "admin", "--password", "secret",
                            "--model", "AV3130", "--sensor-size", "1280x1024"});
    ASSERT_TRUE(sim);
    int code = -1;
    const std::string out = host.Run(
        "probe --json --address 127.0.0.1 --port " + std::to_string(sim->HttpPort()) + kCredentials,
        &code);
    EXPECT_EQ(code, 0) << out << host.Messages();
    EXPECT_NE(out.find("AV3130"), std::string::npos) << out;
    EXPECT_NE(out.find("completed"), std::string::npos) << out;
}

TEST(WineIo, WatchesTheInputAndWritesTheOutput) {
    WineHost host;
    std::string why;
    if (!host.Install("<Configuration><Default/></Configuration>\n", &why)) GTEST_SKIP() << why;
    std::string error;
    auto sim = CamSim::Start({"--io", "onoff"}, &error);
    ASSERT_TRUE(sim) << error;
    int code = -1;
    const std::string out =
        host.Run("io --address 127.0.0.1 --port " + std::to_string(sim->HttpPort()) +
                     " --set 0=active --set 0=inactive --watch 4",
                 &code);
    EXPECT_EQ(code, 0) << out << host.Messages();
    EXPECT_NE(out.find("I/O started: 1 input(s), 1 output(s)"), std::string::npos) << out;
    EXPECT_NE(out.find("input 0 inactive"), std::string::npos) << out;
    EXPECT_EQ(SplitLines(sim->Get("/sim/auxout")), (std::vector<std::string>{"off", "on", "off"}));
}

}  // namespace

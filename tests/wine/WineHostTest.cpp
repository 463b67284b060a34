// End to end on Windows: the cross-built reference host and DLL run under Wine
// against camsim on loopback, one recording per transport, and ffprobe judges
// what they wrote. Skipped when the Windows build is missing (scripts/build-windows
// makes it; $TALVIK_WIN32_DIR names another).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "integration/EndToEnd.h"

namespace {

using namespace talvik_e2e;

const char kCredentials[] = " --user admin --password secret";

// The Windows host and DLL installed with `settings` (RTPMode); null when
// there is no Windows build.
std::unique_ptr<Installation> Install(const std::string& settings) {
    const char* dir = std::getenv("TALVIK_WIN32_DIR");
    const std::string build = dir != nullptr ? dir : TALVIK_SOURCE_DIR "/build-win32";
    if (!std::ifstream(build + "/talvik_arecont.dll")) return nullptr;
    return std::make_unique<Installation>(DefaultSettings(settings),
                                          build + "/tools/host/talvik-host.exe",
                                          build + "/talvik_arecont.dll", "WINEDEBUG=-all wine");
}

// record flags | camsim --auth | settings | file in out/ | ffprobe format | least frames.
// RTSP runs 10 s at 25 fps and falls silent after 8 s, so that nothing is in
// flight at the stop and every frame camsim sent is counted.
class WineRecord : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(WineRecord, EveryFrameArrivesDecodable) {
    const std::vector<std::string>& r = GetParam();
    const auto host = Install(r[2]);
    if (!host) GTEST_SKIP() << "no Windows build";
    auto sim = StartCamSim({"--auth", r[1], "--user", "admin", "--password", "secret"});
    ASSERT_TRUE(sim);
    // H.264 at 25 fps comes over RTSP.
    const bool rtsp = r[0].find("h264 --interval 40") != std::string::npos;
    std::thread silencer;
    if (rtsp)
        silencer = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::seconds(8));
            sim->Get("/sim/silence?seconds=60");
        });
    const RecordRun run = host->Record(*sim, r[0] + kCredentials);
    if (silencer.joinable()) silencer.join();
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const long long frames = JsonNumber(run.json, "frames");
    EXPECT_GE(frames, std::stoll(r[5])) << run.json;
    EXPECT_EQ(JsonNumber(run.json, "signal_losses"), 0) << run.json << run.log;
    // The process's peak: Wine counts no handles for GetProcessHandleCount and
    // holds most of the 2 GiB as a reserved pool of its own, which one stream
    // cannot stand for.
    EXPECT_GE(JsonNumber(run.json, "threads"), 3) << run.json;
    EXPECT_GE(JsonNumber(run.json, "handles"), 5) << run.json;
    const long long addressSpace = JsonNumber(run.json, "address_space_mb");
    EXPECT_GT(addressSpace, 0) << run.json;
    EXPECT_LT(addressSpace, 256) << run.json;
    const long long sent = SentFrames(*sim);
    EXPECT_LE(rtsp ? std::llabs(sent - frames) * 100 : 0, sent) << "more than 1 % lost of " << sent;
    const ProbeResult probe = Probe(host->Out(r[3]), r[4]);
    EXPECT_EQ(probe.streamLine.substr(probe.streamLine.rfind(',') + 1), std::to_string(frames));
    EXPECT_EQ(probe.errors, "");
}

INSTANTIATE_TEST_SUITE_P(Transports, WineRecord,
                         ::testing::ValuesIn(DataRows("wine/data/recordings.txt")),
                         [](const auto& info) { return info.param[6]; });

// The host's OnFrame blocks 8 s, over each transport, as on Linux.
class WineSlowHost : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(WineSlowHost, StallSurvivedWithoutForcedEnd) {
    const auto host = Install(GetParam()[1]);
    if (!host) GTEST_SKIP() << "no Windows build";
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ExpectSlowHostSurvived(*host, *sim, GetParam()[0]);
}

INSTANTIATE_TEST_SUITE_P(Transports, WineSlowHost,
                         ::testing::ValuesIn(DataRows("integration/data/slow_host.txt")),
                         [](const auto& info) { return info.param[2]; });

// The camera falls silent and stays so: the host's stop still ends the
// channel's thread by its stop event, without the forced end.
TEST(WineStop, StopWhileTheCameraIsSilentNeedsNoForcedEnd) {
    const auto host = Install("");
    if (!host) GTEST_SKIP() << "no Windows build";
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    // Silent once the stream runs (Wine's start-up takes seconds on a busy machine).
    std::thread silencer([&] {
        WaitUntil([&] { return sim->StreamStat(1, "frames") >= 25; }, 60000);
        sim->Get("/sim/silence?seconds=120");
    });
    const RecordRun run =
        host->Run("record --address 127.0.0.1 --port " + std::to_string(sim->HttpPort()) +
                  " --codec jpeg --interval 40 --duration 10 --json --discard");
    silencer.join();
    EXPECT_EQ(run.exitCode, 0) << run.json;
    EXPECT_GT(JsonNumber(run.json, "frames"), 0) << run.json;
    EXPECT_EQ(run.log.find("cannot be stopped"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("left to end by itself"), std::string::npos) << run.log;
}

// Open, start, first frame, stop, close, over and over (TALVIK_SOAK_CYCLES
// counted cycles after a tenth as many of warm-up; 30 by default), in one
// Windows process: what it holds after the warm-up against the end, once the
// threads a stop released are gone. Allowed growth:
// - threads: none;
// - handles: kHandleSlack, for the module's own process-wide objects that may
//   come later than the warm-up (a name lookup's, Winsock's); a handle per
//   cycle passes it by the tenth cycle;
// - address space: kSpaceSlackKb, one more heap segment or one Wine thread
//   stack's worth (the heap grows in steps, and Wine counts a thread's stack
//   whole once a page of it is committed); a lost thread (2 MiB under Wine,
//   256 KiB on Windows) per cycle, or 64 KiB per cycle over 300 cycles, passes it.
constexpr long long kHandleSlack = 8;
constexpr long long kSpaceSlackKb = 4096;

long long SoakCycles() {
    const char* text = std::getenv("TALVIK_SOAK_CYCLES");
    const long long value = text != nullptr ? std::atoll(text) : 0;
    return value > 0 && value < 100000 ? value : 30;
}

void ExpectFlat(const RecordRun& run, long long cycles) {
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    EXPECT_EQ(JsonNumber(run.json, "done"), cycles + JsonNumber(run.json, "warm_up")) << run.json;
    EXPECT_EQ(JsonNumber(run.json, "signal_losses"), 0) << run.json << run.log;
    EXPECT_EQ(JsonNumber(run.json, "io_failures"), 0) << run.json << run.log;
    EXPECT_EQ(JsonNumber(run.json, "frames_created"), JsonNumber(run.json, "frames_released"))
        << run.json;
    EXPECT_LE(JsonNumber(run.json, "end_threads"), JsonNumber(run.json, "ref_threads")) << run.json;
    EXPECT_LE(JsonNumber(run.json, "end_handles"),
              JsonNumber(run.json, "ref_handles") + kHandleSlack)
        << run.json;
    EXPECT_LE(JsonNumber(run.json, "end_address_space_kb"),
              JsonNumber(run.json, "ref_address_space_kb") + kSpaceSlackKb)
        << run.json;
    std::printf("[ soak     ] %s\n", run.json.c_str());
}

std::string SoakArguments(const CamSim& sim, long long cycles) {
    return "soak --json --address 127.0.0.1 --port " + std::to_string(sim.HttpPort()) +
           " --param 2=" + std::to_string(sim.RtspPort()) + " --cycles " + std::to_string(cycles);
}

// A whole run's limit: RTSP over UDP takes 2 s a cycle (its check that a
// fresh port is quiet); up to 3 s under load, plus Wine's start.
int SoakTimeoutMs(long long cycles) {
    return int(240000 + cycles * 3000);
}

// The kinds of the Linux soak: name | settings file | codec | frame interval ms.
class WineSoak : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(WineSoak, CyclesLeaveTheProcessAsTheyFoundIt) {
    const std::vector<std::string>& c = GetParam();
    const auto host = Install(c[1]);
    if (!host) GTEST_SKIP() << "no Windows build";
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    const long long cycles = SoakCycles();
    ExpectFlat(host->Run(SoakArguments(*sim, cycles) + " --codec " +
                             (c[2] == "3" ? "h264" : "jpeg") + " --interval " + c[3],
                         SoakTimeoutMs(cycles)),
               cycles);
}

INSTANTIATE_TEST_SUITE_P(Kinds, WineSoak,
                         ::testing::ValuesIn(DataRows("soak/data/channel_kinds.txt")),
                         [](const auto& info) { return info.param[0]; });

// The digital I/O opened, started with an output request in flight and
// closed running, as the Linux soak does.
TEST(WineSoakIo, OpenCloseWithDigitalIORunning) {
    const auto host = Install("");
    if (!host) GTEST_SKIP() << "no Windows build";
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    const long long cycles = SoakCycles();
    ExpectFlat(host->Run(SoakArguments(*sim, cycles) + " --io", SoakTimeoutMs(cycles)), cycles);
}

// The capability query and the digital I/O of the DLL.
TEST(WineCommands, ProbeAndIoAnswer) {
    const auto host = Install("");
    if (!host) GTEST_SKIP() << "no Windows build";
    auto sim = StartCamSim({"--auth", "digest", "--user", "admin", "--password", "secret",
                            "--model", "AV3130", "--sensor-size", "1280x1024", "--io", "onoff"});
    ASSERT_TRUE(sim);
    const std::string address = " --address 127.0.0.1 --port " + std::to_string(sim->HttpPort());
    const RecordRun probe = host->Run("probe --json" + address + kCredentials);
    EXPECT_EQ(probe.exitCode, 0) << probe.json << probe.log;
    EXPECT_NE(probe.json.find("\"outcome\":\"completed\""), std::string::npos) << probe.json;
    EXPECT_NE(probe.json.find("AV3130"), std::string::npos) << probe.json;
    const RecordRun io =
        host->Run("io" + address + kCredentials + " --set 0=active --set 0=inactive --watch 4");
    EXPECT_EQ(io.exitCode, 0) << io.json << io.log;
    EXPECT_NE(io.json.find("I/O started: 1 input(s), 1 output(s)"), std::string::npos) << io.json;
    EXPECT_NE(io.json.find("input 0 inactive"), std::string::npos) << io.json;
    EXPECT_EQ(SplitLines(sim->Get("/sim/auxout")), (Lines{"off", "on", "off"}));
}

}  // namespace

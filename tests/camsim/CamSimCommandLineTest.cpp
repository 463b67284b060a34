// End to end: camsim as a program (help, bad flags, ready line, stopping).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "CamSimTestUtil.h"
#include "support/CamSim.h"
#include "support/TestFiles.h"

namespace talvik {
namespace test {
namespace {

int RunCamsim(const std::string& args, std::string* out) {
    int exitCode = 0;
    *out = RunCommand("'" + CamSim::BinaryPath() + "' " + args + " 2>&1", 30000, &exitCode);
    return exitCode;
}

TEST(CamSimCommandLine, HelpListsEveryFlagWithAnExample) {
    std::string out;
    EXPECT_EQ(RunCamsim("--help", &out), 0);
    for (const char* flag : {"--bind", "--http-port", "--rtsp-port", "--sensors", "--model",
                             "--sensor-size", "--firmware", "--auth", "--user", "--password",
                             "--io", "--h264-file", "--session-timeout", "--duration", "Example:"})
        EXPECT_NE(out.find(flag), std::string::npos) << flag;
}

TEST(CamSimCommandLine, BadArgumentsGiveUsageAndExitCode2) {
    const std::pair<const char*, const char*> cases[] = {
        {"--bogus 1", "camsim: unknown flag --bogus"},
        {"--sensors 3", "camsim: bad value '3' for --sensors"},
        {"--http-port 70000", "camsim: bad value '70000' for --http-port"},
        {"--sensor-size 1920", "camsim: bad value '1920' for --sensor-size"},
        {"--auth ntlm", "camsim: bad value 'ntlm' for --auth"},
        {"--io maybe", "camsim: bad value 'maybe' for --io"},
        {"--duration -1", "camsim: bad value '-1' for --duration"},
        {"--session-timeout 0", "camsim: bad value '0' for --session-timeout"},
        {"--model", "camsim: missing value for --model"},
        {"stray", "camsim: unexpected argument 'stray'"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(RunCamsim(c.first, &out), 2) << c.first;
        EXPECT_EQ(out.substr(0, out.find('\n')), c.second);
        EXPECT_NE(out.find("Usage: camsim"), std::string::npos) << c.first;
    }
}

TEST(CamSimCommandLine, MissingH264FileFailsBeforeTheReadyLine) {
    std::string out;
    EXPECT_EQ(RunCamsim("--http-port 0 --rtsp-port 0 --h264-file /nonexistent/file.h264", &out), 1);
    EXPECT_EQ(out, "camsim: cannot open /nonexistent/file.h264\n");
}

TEST(CamSimCommandLine, StopsCleanlyOnSignalsAndAfterItsDuration) {
    for (int signal : {SIGINT, SIGTERM}) {
        auto sim = StartCamSim();
        ASSERT_TRUE(sim);
        RecordProperty("ready_ms", static_cast<int>(sim->ReadyMs()));
        EXPECT_EQ(sim->Get("/get?channelenable"), "channelenable=1\r\n");
        EXPECT_EQ(sim->Stop(signal, 20000), 0) << "signal " << signal;
    }
    auto sim = StartCamSim({"--duration", "0.5"});
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->Wait(20000), 0);
}

TEST(CamSimCommandLine, StopsCleanlyWhileStreaming) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::string command = "curl -s -o /dev/null --max-time 30 '" +
                          sim->HttpUrl("/mjpeg?x1=160&y1=120&fps=10") +
                          "' & ffprobe -v quiet "
                          "-rtsp_transport tcp -read_intervals %+#1000 -show_frames '" +
                          sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=10") + "' >/dev/null & wait";
    std::thread clients([&] { RunCommand(command, 60000, &exitCode); });
    WaitUntil(
        [&] { return sim->StreamStat(1, "frames") >= 3 && sim->StreamStat(2, "frames") >= 3; });
    EXPECT_EQ(sim->Stop(SIGTERM, 20000), 0);
    clients.join();
}

}  // namespace
}  // namespace test
}  // namespace talvik

// `talvik-host demo`: starts the camera simulator on free loopback ports,
// records from it through the module, stops it and tells where the files are.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Commands.h"
#include "Platform.h"
#include "Recorder.h"

namespace talvik_host {

namespace {

// One recording of the demo. New ways of fetching video are added here.
struct DemoRecording {
    const char* label;
    const char* what;
    StreamChoice stream;
    uint32_t codec;
    uint32_t intervalMs;
    uint32_t group;  // recordings of one group run side by side
};

const DemoRecording kRecordings[] = {
    {"h264_rtsp_rec", "H.264 over RTSP at 25 fps", StreamChoice::kRec, 3, 40, 0},
    {"mjpeg_live", "MJPEG stream at 25 fps", StreamChoice::kLive, 1, 40, 0},
    {"jpeg_pictures_rec", "single JPEG pictures every 2 s", StreamChoice::kRec, 1, 2000, 1},
    {"h264_keyframes_remote", "H.264 key frames over HTTP about every second",
     StreamChoice::kRemote, 3, 1001, 2},
};

std::string Usage(const std::vector<Flag>& flags) {
    return "usage: talvik-host demo [--duration S] [--out DIR] [--camsim PATH] [--module PATH]\n\n"
           "Starts the camera simulator (camsim) on free loopback ports, records from it\n"
           "through the module (H.264 over RTSP and an MJPEG stream side by side, then\n"
           "single JPEG pictures, then H.264 key frames; each for S seconds), stops it and\n"
           "prints the summaries and where the files are.\n\n" +
           FlagHelp(flags) +
           "\nexample:\n"
           "  talvik-host demo --duration 5 --out /tmp/demo\n";
}

std::string DefaultCamsimPath() {
    const std::string directory = ExecutableDirectory();
    if (!directory.empty()) {
        const std::string beside = directory + "camsim";
        if (IsExecutable(beside)) return beside;
    }
#ifdef TALVIK_HOST_BUILD_CAMSIM
    return TALVIK_HOST_BUILD_CAMSIM;
#else
    return "camsim";
#endif
}

// The simulator as a child process; stopped (and reaped) by the destructor.
class Simulator {
public:
    bool Start(const std::string& path, std::string* error) {
        if (!process_.Start(path, {"--bind", "127.0.0.1", "--http-port", "0", "--rtsp-port", "0"},
                            error))
            return false;
        const bool ok = ReadReadyLine(error);
        process_.CloseOutput();
        if (!ok) *error = path + ": " + *error;
        return ok;
    }

    uint16_t HttpPort() const { return httpPort_; }
    uint16_t RtspPort() const { return rtspPort_; }

private:
    // camsim prints {"http_port":N,"rtsp_port":M,"pid":P} once it listens.
    bool ReadReadyLine(std::string* error) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (line.find('\n') == std::string::npos && line.size() < 4096) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            char buffer[256];
            const long n = process_.Read(buffer, sizeof(buffer), int(left));
            if (n < 0) {
                *error = "no ready line within 30 s";
                return false;
            }
            if (n == 0) {
                *error = "exited before it was ready";
                return false;
            }
            line.append(buffer, size_t(n));
        }
        const size_t at = line.find("\"http_port\":");
        uint32_t port = 0;
        if (at == std::string::npos) {
            *error = "unexpected ready line: " + line;
            return false;
        }
        const size_t from = at + std::strlen("\"http_port\":");
        const size_t to = line.find_first_not_of("0123456789", from);
        if (!ParseNumber(line.substr(from, to - from), 65535, &port) || port == 0) {
            *error = "unexpected ready line: " + line;
            return false;
        }
        httpPort_ = uint16_t(port);
        const size_t rtspAt = line.find("\"rtsp_port\":");
        if (rtspAt != std::string::npos) {
            const size_t rtspFrom = rtspAt + std::strlen("\"rtsp_port\":");
            const size_t rtspTo = line.find_first_not_of("0123456789", rtspFrom);
            if (ParseNumber(line.substr(rtspFrom, rtspTo - rtspFrom), 65535, &port))
                rtspPort_ = uint16_t(port);
        }
        return true;
    }

    ChildProcess process_;
    uint16_t httpPort_ = 0;
    uint16_t rtspPort_ = 0;
};

struct DemoOptions {
    uint32_t duration = 5;
    std::string outDir = "talvik-demo";
    std::string camsim = DefaultCamsimPath();
    std::string modulePath;
};

std::vector<Flag> DemoFlags(DemoOptions* o) {
    std::vector<Flag> flags;
    flags.push_back({"--duration", "S", "seconds per recording (default 5)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 3600, &o->duration) || o->duration == 0)
                             return "'" + v + "' is not 1 to 3600";
                         return "";
                     }});
    flags.push_back({"--out", "DIR", "directory for the files (default ./talvik-demo)",
                     [o](const std::string& v) -> std::string {
                         if (v.empty()) return "empty directory";
                         o->outDir = v;
                         return "";
                     }});
    flags.push_back(
        {"--camsim", "PATH",
         "camera simulator to run (default: camsim beside talvik-host, else the built one)",
         [o](const std::string& v) -> std::string {
             if (v.empty()) return "empty path";
             o->camsim = v;
             return "";
         }});
    flags.push_back(ModuleFlag(&o->modulePath));
    return flags;
}

RecordOptions DemoRecordOptions(const DemoOptions& demo, const Simulator& simulator,
                                const DemoRecording& r) {
    RecordOptions o;
    o.modulePath = demo.modulePath;
    o.device.address = "127.0.0.1";
    o.device.port = simulator.HttpPort();
    o.device.model = "AV2155";
    o.device.defaultCodec = r.codec;
    o.device.parameters[2] = std::to_string(simulator.RtspPort());
    o.stream = r.stream;
    o.codec = r.codec;
    o.intervalMs = r.intervalMs;
    o.durationS = demo.duration;
    o.outDir = demo.outDir;
    o.label = r.label;
    return o;
}

// Each group of recordings in turn, the recordings of a group side by side;
// true when every one got frames.
bool RunDemoRecordings(const DemoOptions& demo, const Simulator& simulator,
                       std::vector<RecordSummary>& summaries) {
    const size_t count = sizeof(kRecordings) / sizeof(kRecordings[0]);
    summaries.assign(count, RecordSummary());
    std::vector<char> ran(count, 0);  // not vector<bool>: written from threads
    for (size_t first = 0; first < count && !g_stopRequested;) {
        size_t end = first;
        while (end < count && kRecordings[end].group == kRecordings[first].group)
            ++end;
        std::vector<std::thread> threads;
        for (size_t i = first; i < end; ++i) {
            const DemoRecording& r = kRecordings[i];
            RecordOptions o = DemoRecordOptions(demo, simulator, r);
            // Progress lines of recordings side by side would mix.
            o.progress = end - first == 1;
            std::printf("\n== %s: %s, %u s%s\n", r.label, r.what, demo.duration,
                        end - first > 1 ? " (side by side)" : "");
            std::fflush(stdout);
            threads.emplace_back([o, i, &summaries, &ran] {
                RecordSummary summary;
                const bool ok = RunRecording(o, &summary);
                summaries[i] = summary;
                ran[i] = ok;
            });
        }
        for (std::thread& t : threads)
            t.join();
        first = end;
    }
    bool allGotFrames = true;
    for (size_t i = 0; i < count; ++i) {
        if (!ran[i] || summaries[i].frames == 0) allGotFrames = false;
    }
    return allGotFrames;
}

int Run(int argc, char** argv, int first) {
    DemoOptions demo;
    const std::vector<Flag> flags = DemoFlags(&demo);
    const int read = ReadCommandLine("demo", flags, &Usage, argc, argv, first);
    if (read != kContinue) return read;
    InstallStopSignals();

    Simulator simulator;
    std::string error;
    if (!simulator.Start(demo.camsim, &error)) {
        std::fprintf(stderr, "talvik-host demo: camera simulator: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("camera simulator on 127.0.0.1:%u\n", simulator.HttpPort());
    std::fflush(stdout);

    std::vector<RecordSummary> summaries;
    const bool allGotFrames = RunDemoRecordings(demo, simulator, summaries);
    std::printf("\nsummary\n");
    for (const RecordSummary& s : summaries)
        std::printf("%s\n", s.Text().c_str());
    const std::string& outDir = demo.outDir;
    std::printf(
        "\nfiles are in %s/ ; play them with: ffplay -f h264 %s/%s.h264 and "
        "ffplay -f mjpeg %s/%s.mjpeg\n",
        outDir.c_str(), outDir.c_str(), kRecordings[0].label, outDir.c_str(), kRecordings[1].label);
    return allGotFrames && !g_stopRequested ? kExitOk : kExitFailed;
}

}  // namespace

Command DemoCommand() {
    return {"demo", "record from the built-in camera simulator and show the files", &Run};
}

}  // namespace talvik_host

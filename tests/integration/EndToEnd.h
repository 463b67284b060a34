// Rigs of the tests against camsim: the reference host as a program in a
// directory of its own (the Linux build, or the Windows one under Wine), or the
// driver linked into the test on the host's objects (so that AddressSanitizer
// sees every allocation). ffprobe judges the recorded files; camsim's request
// log shows what the module asked for.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "HostObjects.h"
#include "driver/ArecontIPCaptureDriver.h"
#include "support/TestFiles.h"
#include "support/Threads.h"
#include "talvik/IPVideoCapture.h"

namespace talvik_e2e {

using namespace talvik::test;
using talvik_test::WaitUntil;
using Lines = std::vector<std::string>;

const std::string kHost = TALVIK_BINARY_DIR "/tools/host/talvik-host";
const std::string kModule = TALVIK_BINARY_DIR "/libtalvik_arecont.so";
constexpr uint32_t kCodecJpeg = 1, kCodecH264 = 3;

struct RecordRun {
    int exitCode = -1;
    std::string json;  // standard output
    std::string log;   // the module's messages
};

// The host and the module copied into a directory of their own with a
// settings file beside them (unless empty), as an installation has them;
// `runner` starts the host ("wine" for the Windows build). A copy that failed
// shows as the host not found.
struct Installation {
    TempDir dir;
    std::string exe, runner;

    Installation(const std::string& settingsXml, const std::string& host = kHost,
                 const std::string& module = kModule, std::string run = "")
        : exe(host.substr(host.rfind('/') + 1)), runner(std::move(run)) {
        int code = -1;
        RunCommand("cp '" + host + "' '" + module + "' '" + dir.Path() + "/' && mkdir '" +
                       dir.Path() + "/out'",
                   20000, &code);
        if (!settingsXml.empty()) std::ofstream(dir.Path() + "/talvik_arecont.xml") << settingsXml;
    }
    std::string Out(const std::string& file) const { return dir.Path() + "/out/" + file; }
    RecordRun Run(const std::string& arguments, int timeoutMs = 240000) const {
        RecordRun run;
        run.json = RunCommand("cd '" + dir.Path() + "' && " + runner + " ./" + exe + " " +
                                  arguments + " 2>messages.txt",
                              timeoutMs, &run.exitCode);
        run.log = ReadFile(dir.Path() + "/messages.txt");
        return run;
    }
    // `record` from camsim into out/ (its RTSP port as parameter 2).
    RecordRun Record(const CamSim& sim, const std::string& flags) const {
        return Run("record --address 127.0.0.1 --port " + std::to_string(sim.HttpPort()) +
                   " --param 2=" + std::to_string(sim.RtspPort()) + " --json --out out " + flags);
    }
};

inline long long JsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":([0-9]+)"))) return -1;
    return std::stoll(m[1]);
}

// Settings file text with `defaults` in its <Default> section.
inline std::string DefaultSettings(const std::string& defaults) {
    return "<Configuration><Default>" + defaults + "</Default></Configuration>\n";
}

// A host whose OnFrame blocks 8 s at the first frame: longer than half the
// data time-out (when the channel gives up on the stream) plus the 2 s stop
// limit of the delivering thread. The stall is survived, no thread is forced
// to end, frames come again after it, and the recording ends at its duration.
// The rows of integration/data/slow_host.txt give the transports.
inline void ExpectSlowHostSurvived(const Installation& host, const CamSim& sim,
                                   const std::string& flags) {
    const RecordRun run = host.Record(sim, flags + " --duration 16 --discard --slow-host 8000");
    EXPECT_EQ(run.exitCode, 0) << run.json << run.log;
    EXPECT_EQ(JsonNumber(run.json, "stalls"), 1) << run.json << run.log;
    EXPECT_GE(JsonNumber(run.json, "frames_after_stall"), 10) << run.json;
    for (const char* forced : {"cannot be stopped", "will be terminated"})
        EXPECT_EQ(run.log.find(forced), std::string::npos) << run.log;
    // The recording ends at its duration; the stop itself stays within the
    // device time-out.
    EXPECT_LT(JsonNumber(run.json, "seconds"), 16 + 5) << run.json;
    EXPECT_LT(JsonNumber(run.json, "stop_s"), 5) << run.json;
}

struct ProbeResult {
    std::string streamLine;  // "width,height,decoded frames"
    std::string errors;      // ffprobe's complaints while decoding every frame
};

// ffprobe of the first video stream of `file` in `format` ("mjpeg", "h264").
inline ProbeResult Probe(const std::string& file, const std::string& format) {
    int code = -1;
    const auto lines = SplitLines(RunCommand(
        "ffprobe -v error -f " + format +
            " -count_frames -select_streams v:0 -show_entries stream=width,height,nb_read_frames "
            "-of csv=p=0 '" +
            file + "' 2>'" + file + ".probe'",
        180000, &code));
    return {code == 0 && lines.size() == 1 ? lines[0] : "ffprobe failed",
            ReadFile(file + ".probe")};
}

// Frames camsim sent on its RTSP streams.
inline long long SentFrames(const CamSim& sim) {
    long long total = 0;
    for (const std::string& line : SplitLines(sim.Get("/sim/stats")))
        if (line.find(" kind=rtsp ") != std::string::npos)
            total += std::stoll(line.substr(line.find(" frames=") + 8));
    return total;
}

struct CsvRow {
    long long timeMs = 0;  // frame time, ms of the day
    std::string fourcc;
    unsigned width = 0, height = 0;
};

// The frame rows of the host's CSV file ("n,time,received,fourcc,w,h,size").
inline std::vector<CsvRow> ReadCsv(const std::string& file) {
    std::vector<CsvRow> rows;
    for (const std::string& line : SplitLines(ReadFile(file))) {
        int h = 0, m = 0, s = 0, ms = 0;
        char fourcc[5] = {};
        CsvRow row;
        if (std::sscanf(line.c_str(), "%*u,%*[^T]T%d:%d:%d.%dZ,%*[^,],%4[^,],%u,%u", &h, &m, &s,
                        &ms, fourcc, &row.width, &row.height) != 7)
            continue;
        row.timeMs = ((h * 60LL + m) * 60 + s) * 1000 + ms;
        row.fourcc = fourcc;
        rows.push_back(row);
    }
    return rows;
}

// "METHOD path?query" of camsim's request log that start with prefix.
inline Lines RequestLines(const CamSim& sim, const std::string& prefix = "") {
    Lines out;
    for (const std::string& line : sim.Requests())
        if (line.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line.substr(0, line.rfind(' ')));
    return out;
}

inline size_t CountPrefix(const Lines& lines, const std::string& prefix) {
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
}

// The driver linked into the test, on the reference host's objects, for an
// AV2155 with one digital input and output at camsim; it reads its settings
// file from `directory` (none there: H.264 over RTSP goes by UDP).
class Driver : public talvik::CArecontIPCaptureDriver {
public:
    Driver(const CamSim& sim, std::string directory, uint32_t codec = kCodecH264)
        : directory_(std::move(directory) + "/") {
        talvik_host::DeviceDescription d;
        d.address = "127.0.0.1";
        d.port = sim.HttpPort();
        d.model = "AV2155";
        d.digitalInputs = d.digitalOutputs = 1;
        d.defaultCodec = codec;
        d.parameters[2] = std::to_string(sim.RtspPort());
        device = std::make_unique<talvik_host::HostDevice>(d);
    }
    ~Driver() override { Close(); }  // while the host objects below still live
    std::string GetHostDirectory() override { return directory_; }
    bool Open() { return CArecontIPCaptureDriver::Open(&debug, &allocator, device.get()); }
    // Opens, starts input 0 at 25 fps and waits up to 30 s for `frames` frames.
    bool Start(uint32_t width, uint32_t height, uint64_t frames) {
        talvik_host::StreamRequest request;
        request.width = width;
        request.height = height;
        request.codec = device->Description().defaultCodec;
        request.frameInterval = 40;
        talvik_host::HostStreamSettings settings(request);
        return Open() && GetVideoCaptureEx2()->StartVideo(0, &sink, &settings) &&
               sink.WaitForFrames(frames, 30000);
    }
    uint32_t Status() {
        uint32_t status = 99, second = 0;
        GetVideoCaptureEx2()->GetVideoStatus(0, &status, &second, nullptr, 0);
        return status;
    }
    // Waits for `more` frames beyond those seen so far.
    bool MoreFrames(uint64_t more, uint32_t timeoutMs) {
        return sink.WaitForFrames(sink.FrameCount() + more, timeoutMs);
    }

    talvik_host::HostFrameSink sink{100000};
    talvik_host::HostDebugSink debug{nullptr};
    talvik_host::HostFrameAllocator allocator;
    std::unique_ptr<talvik_host::HostDevice> device;

private:
    std::string directory_;
};

}  // namespace talvik_e2e

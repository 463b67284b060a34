// Helpers of the end-to-end tests that record from camsim through the
// reference host: as a program (Record) or with the module loaded in this
// process (InProcessHost). ffprobe judges the files; camsim's request log
// shows what the module asked for.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "HostObjects.h"
#include "ModuleLoader.h"
#include "support/CamSim.h"
#include "support/TestFiles.h"
#include "support/Threads.h"
#include "talvik/IPCaptureDriver.h"
#include "talvik/IPVideoCapture.h"

namespace talvik_e2e {

using talvik::test::CamSim;
using talvik::test::DataRows;
using talvik::test::ReadFile;
using talvik::test::RunCommand;
using talvik::test::SplitLines;
using talvik::test::StartCamSim;
using talvik::test::TempDir;
using talvik_test::WaitUntil;

const std::string kHost = TALVIK_BINARY_DIR "/tools/host/talvik-host";
const std::string kModule = TALVIK_BINARY_DIR "/libtalvik_arecont.so";

constexpr uint32_t kCodecJpeg = 1;
constexpr uint32_t kCodecH264 = 3;

struct RecordRun {
    int exitCode = -1;
    std::string json;
    std::string log;  // the driver's messages
};

// `host record` against camsim's HTTP port into outDir (made if missing).
inline RecordRun Record(const std::string& host, uint16_t port, const std::string& flags,
                        const std::string& outDir) {
    RecordRun run;
    const std::string logFile = outDir + "/messages.txt";
    run.json = RunCommand("mkdir -p '" + outDir + "' && " + host +
                              " record --address 127.0.0.1 --port " + std::to_string(port) +
                              " --json --out " + outDir + " " + flags + " 2>" + logFile,
                          180000, &run.exitCode);
    run.log = ReadFile(logFile);
    return run;
}

// A copy of the host and the module in a directory of their own, with a
// settings file beside the host.
struct HostCopy {
    TempDir dir;
    std::string host = dir.Path() + "/talvik-host";
    bool ok = false;
    explicit HostCopy(const std::string& settingsXml) {
        int code = -1;
        RunCommand("cp '" + kHost + "' '" + kModule + "' '" + dir.Path() + "/'", 20000, &code);
        ok = code == 0;
        std::ofstream(dir.Path() + "/talvik_arecont.xml") << settingsXml;
    }
};

inline long long JsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":([0-9]+)"))) return -1;
    return std::stoll(m[1]);
}

// "METHOD path?query" of camsim's request log (without the scheme) that
// start with prefix.
inline std::vector<std::string> RequestLines(const CamSim& sim, const std::string& prefix = "") {
    std::vector<std::string> out;
    for (const std::string& line : sim.Requests()) {
        const std::string request = line.substr(0, line.rfind(' '));
        if (request.compare(0, prefix.size(), prefix) == 0) out.push_back(request);
    }
    return out;
}

inline size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
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

// The module loaded in this process through the reference host's loader and
// host objects, recording input 0 of camsim (H.264 over RTSP goes by UDP: no
// settings file lies beside the test program).
class InProcessHost {
public:
    InProcessHost(const CamSim& sim, uint32_t codec) : codec_(codec) {
        talvik_host::DeviceDescription d;
        d.address = "127.0.0.1";
        d.port = sim.HttpPort();
        d.model = "AV2155";
        d.defaultCodec = codec;
        if (codec == kCodecH264) d.parameters[2] = std::to_string(sim.RtspPort());
        device_ = std::make_unique<talvik_host::HostDevice>(d);
    }
    ~InProcessHost() {
        if (driver_ == nullptr) return;
        driver_->Close();
        module_.Factories().back().destroy(driver_);
    }
    // Starts video at 25 fps and waits up to 30 s for `frames` frames.
    bool Start(uint32_t width, uint32_t height, uint64_t frames) {
        if (!module_.Load(kModule, &error_)) return false;
        driver_ = static_cast<talvik::ipcapture::IIPCaptureDriverEx5*>(
            module_.Factories().back().create());
        talvik_host::StreamRequest request;
        request.width = width;
        request.height = height;
        request.codec = codec_;
        request.frameInterval = 40;
        talvik_host::HostStreamSettings settings(request);
        error_ = "open or StartVideo failed";
        if (driver_ == nullptr || !driver_->Open(&debug_, &allocator_, device_.get()) ||
            !Capture()->StartVideo(0, &sink_, &settings))
            return false;
        error_ = "no frames";
        return sink_.WaitForFrames(frames, 30000);
    }
    const std::string& Error() const { return error_; }
    talvik::ipcapture::IIPVideoCaptureEx2* Capture() { return driver_->GetVideoCaptureEx2(); }
    talvik_host::HostFrameSink& Sink() { return sink_; }
    uint32_t Status() {
        uint32_t status = 99, second = 0;
        Capture()->GetVideoStatus(0, &status, &second, nullptr, 0);
        return status;
    }
    // Waits for `more` frames beyond those seen so far.
    bool MoreFrames(uint64_t more, uint32_t timeoutMs) {
        return sink_.WaitForFrames(sink_.FrameCount() + more, timeoutMs);
    }

private:
    uint32_t codec_;
    std::string error_;
    talvik_host::DriverModule module_;
    talvik_host::HostFrameSink sink_{100000};
    talvik_host::HostDebugSink debug_{nullptr};
    talvik_host::HostFrameAllocator allocator_;
    std::unique_ptr<talvik_host::HostDevice> device_;
    talvik::ipcapture::IIPCaptureDriverEx5* driver_ = nullptr;
};

}  // namespace talvik_e2e

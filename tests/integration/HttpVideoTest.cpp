// End to end: the module, loaded by the reference host (as a program or
// in-process through its loader), records from camsim over HTTP. ffprobe
// judges the recorded files; camsim's request log shows what the module asked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostObjects.h"
#include "ModuleLoader.h"
#include "support/CamSim.h"
#include "support/TestFiles.h"
#include "talvik/IPCaptureDriver.h"
#include "talvik/IPVideoCapture.h"

namespace {

using Clock = std::chrono::steady_clock;
using talvik::test::CamSim;
using talvik::test::RunCommand;
using talvik::test::SplitLines;

const std::string kHost = TALVIK_BINARY_DIR "/tools/host/talvik-host";
const std::string kModule = TALVIK_BINARY_DIR "/libtalvik_arecont.so";

using talvik::test::ReadFile;
using talvik::test::StartCamSim;

class TempDir : public talvik::test::TempDir {
public:
    TempDir() : talvik::test::TempDir("talvik-video") {}
};

// Paths (with query) of camera requests in camsim's log that start with prefix.
std::vector<std::string> RequestPaths(const CamSim& sim, const std::string& prefix = "/") {
    std::vector<std::string> out;
    for (const std::string& line : sim.Requests()) {
        std::istringstream in(line);
        std::string method, path;
        in >> method >> path;
        if (path.compare(0, prefix.size(), prefix) == 0) out.push_back(path);
    }
    return out;
}

struct RecordRun {
    int exitCode = -1;
    std::string json;
    std::string log;  // the driver's messages
};

RecordRun Record(const std::string& host, uint16_t port, const std::string& flags,
                 const std::string& outDir, std::string logFile = "") {
    RecordRun run;
    if (logFile.empty()) logFile = outDir + "/messages.txt";
    run.json = RunCommand(host + " record --address 127.0.0.1 --port " + std::to_string(port) +
                              " --json --out " + outDir + " " + flags + " 2>" + logFile,
                          120000, &run.exitCode);
    run.log = ReadFile(logFile);
    return run;
}

long long JsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":([0-9]+)"))) return -1;
    return std::stoll(m[1]);
}

std::string JsonString(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":\"([^\"]*)\""))) return "";
    return m[1];
}

// The pictures of a file of concatenated JPEGs (camsim's carry no thumbnails,
// so the first end-of-image marker after a start ends the picture).
std::vector<std::string> SplitJpegs(const std::string& data) {
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = data.find("\xFF\xD8", at)) != std::string::npos) {
        const size_t end = data.find("\xFF\xD9", at + 2);
        if (end == std::string::npos) break;
        out.push_back(data.substr(at, end + 2 - at));
        at = end + 2;
    }
    return out;
}

// Text of the first comment segment.
std::string JpegComment(const std::string& jpeg) {
    for (size_t i = 2; i + 4 <= jpeg.size();) {
        if (uint8_t(jpeg[i]) != 0xFF) return "";
        const uint8_t marker = uint8_t(jpeg[i + 1]);
        const size_t length = size_t(uint8_t(jpeg[i + 2])) << 8 | uint8_t(jpeg[i + 3]);
        if (length < 2 || i + 2 + length > jpeg.size()) return "";
        if (marker == 0xFE) return jpeg.substr(i + 4, length - 2);
        if (marker == 0xDA) return "";
        i += 2 + length;
    }
    return "";
}

// "width,height,decoded frames" of the first video stream, as ffprobe sees it.
std::string Probe(const std::string& file, const std::string& format) {
    int code = -1;
    const std::string out = RunCommand("ffprobe -v error " + format +
                                           " -count_frames -select_streams v:0 -show_entries "
                                           "stream=width,height,nb_read_frames -of csv=p=0 '" +
                                           file + "' 2>/dev/null",
                                       120000, &code);
    const auto lines = SplitLines(out);
    return code == 0 && lines.size() == 1 ? lines[0] : "ffprobe failed: " + out;
}

std::vector<std::string> CsvRows(const std::string& file) {
    auto lines = SplitLines(ReadFile(file));
    if (!lines.empty()) lines.erase(lines.begin());  // header
    return lines;
}

// Milliseconds of the day of an "...THH:MM:SS.mmmZ" field.
long long DayMs(const std::string& stamp) {
    int h = 0, m = 0, s = 0, ms = 0;
    const size_t t = stamp.find('T');
    if (t == std::string::npos ||
        std::sscanf(stamp.c_str() + t + 1, "%d:%d:%d.%dZ", &h, &m, &s, &ms) != 4)
        return -1;
    return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

std::string CsvField(const std::string& row, int index) {
    std::istringstream in(row);
    std::string field;
    for (int i = 0; i <= index && std::getline(in, field, ','); ++i) {
    }
    return field;
}

TEST(HttpVideo, MjpegAt40msForTenSecondsIsCompleteAndDecodable) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    const RecordRun run =
        Record(kHost, sim->HttpPort(), "--codec jpeg --interval 40 --size 640x360 --duration 10",
               dir.Path());
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const long long frames = JsonNumber(run.json, "frames");
    EXPECT_GE(frames, 245);
    EXPECT_LE(frames, 255);
    const std::string file = dir.Path() + "/rec_in0_jpeg.mjpeg";
    EXPECT_EQ(Probe(file, "-f mjpeg"), "640,360," + std::to_string(frames));

    // Every picture of the one connection, numbered from 1, none missing or twice.
    const auto pictures = SplitJpegs(ReadFile(file));
    ASSERT_EQ(static_cast<long long>(pictures.size()), frames);
    for (size_t i = 0; i < pictures.size(); ++i) {
        ASSERT_EQ(JpegComment(pictures[i]), "camsim sensor=1 frame=" + std::to_string(i + 1))
            << "picture " << i;
    }
    EXPECT_EQ(static_cast<long long>(CsvRows(dir.Path() + "/rec_in0_jpeg.csv").size()), frames);
    EXPECT_EQ(RequestPaths(*sim, "/mjpeg"),
              std::vector<std::string>{"/mjpeg?res=full&x0=0&y0=0&x1=640&y1=360&quality=10&"
                                       "doublescan=0&fps=25&ssn=101"});
    EXPECT_EQ(JsonNumber(run.json, "signal_losses"), 0);
}

TEST(HttpVideo, PicturesEveryTwoSecondsOneRequestEach) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    const RecordRun run =
        Record(kHost, sim->HttpPort(), "--codec jpeg --interval 2000 --duration 7", dir.Path());
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const auto requests = RequestPaths(*sim, "/image");
    EXPECT_TRUE(RequestPaths(*sim, "/mjpeg").empty());
    ASSERT_GE(requests.size(), 3u);
    ASSERT_LE(requests.size(), 4u);
    EXPECT_EQ(requests[0], "/image?res=full&x0=0&y0=0&x1=640&y1=360&quality=10");
    const long long frames = JsonNumber(run.json, "frames");
    EXPECT_EQ(frames, static_cast<long long>(requests.size()));
    EXPECT_EQ(Probe(dir.Path() + "/rec_in0_jpeg.mjpeg", "-f mjpeg"),
              "640,360," + std::to_string(frames));
    // One picture per request, about two seconds apart (fetch time plus interval).
    const auto rows = CsvRows(dir.Path() + "/rec_in0_jpeg.csv");
    ASSERT_EQ(static_cast<long long>(rows.size()), frames);
    for (size_t i = 1; i < rows.size(); ++i) {
        const long long gap = DayMs(CsvField(rows[i], 1)) - DayMs(CsvField(rows[i - 1], 1));
        EXPECT_GE(gap, 1990) << rows[i];
        EXPECT_LT(gap, 4000) << rows[i];
    }
}

TEST(HttpVideo, H264KeyFramesAt1001msAreDecodable) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    const RecordRun run = Record(
        kHost, sim->HttpPort(),
        "--codec h264 --interval 1001 --stream live --size 640x360 --duration 4", dir.Path());
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const long long frames = JsonNumber(run.json, "frames");
    EXPECT_GE(frames, 2);
    EXPECT_EQ(JsonString(run.json, "fourcc"), "H264");
    EXPECT_EQ(Probe(dir.Path() + "/live_in0_h264.h264", "-f h264"),
              "640,360," + std::to_string(frames));
    // Each frame's closing delimiter is written before the next frame only, so
    // the file does not end in an empty access unit.
    const std::string video = ReadFile(dir.Path() + "/live_in0_h264.h264");
    ASSERT_GT(video.size(), 5u);
    EXPECT_NE(video.substr(video.size() - 5, 4), std::string("\0\0\x01\x09", 4));
    const auto requests = RequestPaths(*sim, "/");
    ASSERT_FALSE(requests.empty());
    for (const std::string& path : requests)
        EXPECT_EQ(path, "/h264f?res=full&x0=0&y0=0&x1=640&y1=360&qp=26&Iframe=1");
}

// The settings file lies beside the host executable: a copy of the host and
// the module in a directory of their own, with a settings file there.
TEST(HttpVideo, SettingsBesideTheHostAndCroppingBeforeTheStream) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    TempDir dir;
    int code = -1;
    RunCommand("cp '" + kHost + "' '" + kModule + "' '" + dir.Path() + "/'", 20000, &code);
    ASSERT_EQ(code, 0);
    std::ofstream(dir.Path() + "/talvik_arecont.xml")
        << "<Configuration><Default><IndoorLightFrequency>60</IndoorLightFrequency>"
           "<BitrateMode>VBR</BitrateMode></Default></Configuration>\n";
    const RecordRun run = Record(dir.Path() + "/talvik-host", sim->HttpPort(),
                                 "--sensors 4 --input 1 --param 7=1 --duration 2", dir.Path());
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const auto requests = RequestPaths(*sim);
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[0], "/set2?freq=60");
    EXPECT_EQ(requests[1], "/get?cropping");
    EXPECT_EQ(requests[2], "/set?cropping=on");
    EXPECT_EQ(requests[3],
              "/mjpeg2?res=full&x0=0&y0=0&x1=640&y1=360&quality=10&doublescan=0&fps=25&ssn=1101");
    EXPECT_EQ(sim->Get("/get2?freq"), "freq=60\r\n");
}

// An error answer to the stream request gives no frame and no crash, and the
// camera is not asked again in a tight loop.
class StreamPathRefused : public ::testing::TestWithParam<int> {};

TEST_P(StreamPathRefused, NoFramesNoCrash) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->Get("/sim/fault?prefix=/mjpeg&status=" + std::to_string(GetParam())), "ok\n");
    TempDir dir;
    const RecordRun run = Record(kHost, sim->HttpPort(), "--duration 4", dir.Path());
    EXPECT_EQ(run.exitCode, 1) << run.json << run.log;
    EXPECT_EQ(JsonNumber(run.json, "frames"), 0);
    const size_t requests = RequestPaths(*sim, "/mjpeg").size();
    EXPECT_GE(requests, 1u);
    EXPECT_LE(requests, 6u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, StreamPathRefused, ::testing::Values(401, 404));

// The module loaded in this process through the reference host's loader and
// host objects, recording input 0 of camsim.
class InProcessHost {
public:
    explicit InProcessHost(uint16_t port) : sink_(100000), debug_(nullptr) {
        talvik_host::DeviceDescription d;
        d.address = "127.0.0.1";
        d.port = port;
        d.model = "AV2155";
        d.defaultCodec = 1;
        device_.reset(new talvik_host::HostDevice(d));
    }
    ~InProcessHost() {
        if (driver_ != nullptr) {
            driver_->Close();
            module_.Factories().back().destroy(driver_);
        }
    }
    bool StartVideo(uint32_t width, uint32_t height, uint32_t intervalMs, std::string* error) {
        if (!module_.Load(kModule, error)) return false;
        driver_ = static_cast<talvik::ipcapture::IIPCaptureDriverEx5*>(
            module_.Factories().back().create());
        if (driver_ == nullptr || !driver_->Open(&debug_, &allocator_, device_.get())) {
            *error = "open failed";
            return false;
        }
        talvik_host::StreamRequest request;
        request.width = width;
        request.height = height;
        request.codec = 1;
        request.frameInterval = intervalMs;
        talvik_host::HostStreamSettings settings(request);
        return Capture()->StartVideo(0, &sink_, &settings);
    }
    talvik::ipcapture::IIPVideoCaptureEx2* Capture() { return driver_->GetVideoCaptureEx2(); }
    talvik_host::HostFrameSink& Sink() { return sink_; }
    talvik_host::HostDebugSink& Debug() { return debug_; }

private:
    talvik_host::DriverModule module_;
    talvik_host::HostFrameSink sink_;
    talvik_host::HostDebugSink debug_;
    talvik_host::HostFrameAllocator allocator_;
    std::unique_ptr<talvik_host::HostDevice> device_;
    talvik::ipcapture::IIPCaptureDriverEx5* driver_ = nullptr;
};

bool WaitForLosses(const talvik_host::HostFrameSink& sink, uint64_t count, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (sink.SignalLostCount() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Silent for 15 s: the host is told once, after the data time-out (10 s), and
// frames come back by themselves.
TEST(HttpVideo, SilentCameraIsReportedOnceAndResumes) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(sim->HttpPort());
    std::string error;
    ASSERT_TRUE(host.StartVideo(320, 180, 40, &error)) << error;
    ASSERT_TRUE(host.Sink().WaitForFrames(25, 20000));
    const auto silenced = Clock::now();
    ASSERT_EQ(sim->Get("/sim/silence?seconds=15"), "ok\n");
    ASSERT_TRUE(WaitForLosses(host.Sink(), 1, 40000));
    EXPECT_GE(Clock::now() - silenced, std::chrono::milliseconds(9500));
    const uint64_t before = host.Sink().FrameCount();
    ASSERT_TRUE(host.Sink().WaitForFrames(before + 25, 40000));
    EXPECT_GE(Clock::now() - silenced, std::chrono::seconds(15));
    EXPECT_EQ(host.Sink().SignalLostCount(), 1u);
    EXPECT_EQ(host.Debug()
                  .Find("talvik::CBaseCameraChannel::SetCameraState: Signal was lost for camera "
                        "127.0.0.1 (Rec)")
                  .size(),
              1u);
    EXPECT_EQ(host.Debug().Find("Camera 127.0.0.1 is online (Rec)").size(), 2u);
}

TEST(HttpVideo, CameraRebootIsRecovered) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(sim->HttpPort());
    std::string error;
    ASSERT_TRUE(host.StartVideo(320, 180, 40, &error)) << error;
    ASSERT_TRUE(host.Sink().WaitForFrames(25, 20000));
    ASSERT_EQ(sim->Get("/sim/reboot?seconds=3"), "ok\n");
    // Down for 3 s: the stream request is sent again once it listens.
    const auto end = Clock::now() + std::chrono::seconds(40);
    while (RequestPaths(*sim, "/mjpeg").size() < 2 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(RequestPaths(*sim, "/mjpeg").size(), 2u);
    const uint64_t before = host.Sink().FrameCount();
    ASSERT_TRUE(host.Sink().WaitForFrames(before + 25, 20000));
    // Back well within the data time-out: no loss to report.
    EXPECT_EQ(host.Sink().SignalLostCount(), 0u);
}

// UpdateVideo: the new size goes into the next stream request, once.
TEST(HttpVideo, UpdateVideoAppliesTheNewSizeAtTheNextPass) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(sim->HttpPort());
    std::string error;
    ASSERT_TRUE(host.StartVideo(640, 360, 40, &error)) << error;
    ASSERT_TRUE(host.Sink().WaitForFrames(10, 20000));
    talvik_host::HostFrameSize size(320, 180);
    ASSERT_TRUE(host.Capture()->UpdateVideo(0, &size, 40));
    const auto end = Clock::now() + std::chrono::seconds(20);
    bool small = false;
    while (!small && Clock::now() < end) {
        const auto frames = host.Sink().Frames();
        small = !frames.empty() && frames.back().width == 320 && frames.back().height == 180;
        if (!small) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(small);
    const auto requests = RequestPaths(*sim, "/mjpeg");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("&x1=320&y1=180&"), std::string::npos) << requests[1];
    EXPECT_EQ(host.Sink().SignalLostCount(), 0u);
}

}  // namespace

namespace {

// --discard counts frames and writes nothing; wrong flags give exit code 2
// and name the flag.
TEST(HostRecord, DiscardWritesNoFiles) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    const std::string out = dir.Path() + "/out";
    const RecordRun run =
        Record(kHost, sim->HttpPort(), "--discard --duration 2", out, dir.Path() + "/messages.txt");
    EXPECT_EQ(run.exitCode, 0) << run.json;
    EXPECT_GT(JsonNumber(run.json, "frames"), 0);
    EXPECT_EQ(JsonString(run.json, "video_file"), "");
    EXPECT_NE(access(out.c_str(), F_OK), 0) << "nothing is created";
}

struct BadFlags {
    const char* flags;
    const char* message;
};

class HostRecordUsage : public ::testing::TestWithParam<BadFlags> {};

TEST_P(HostRecordUsage, ExitTwoNamingTheFlag) {
    int code = -1;
    const std::string err =
        RunCommand(kHost + " record " + GetParam().flags + " 2>&1 >/dev/null", 20000, &code);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(SplitLines(err).at(0), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, HostRecordUsage,
    ::testing::Values(BadFlags{"--codec jpeg", "talvik-host record: --address is required"},
                      BadFlags{"--address a --codec mpeg4",
                               "talvik-host record: --codec: 'mpeg4' is not jpeg or h264"},
                      BadFlags{"--address a --stream aux",
                               "talvik-host record: --stream: 'aux' is not rec, live or remote"},
                      BadFlags{"--address a --size 640",
                               "talvik-host record: --size: '640' is not WxH"},
                      BadFlags{"--address a --interval 0",
                               "talvik-host record: --interval: '0' is not 1 to 65535"}));

}  // namespace

// End to end: the module, loaded by the reference host (as a program or
// in-process through its loader), records from camsim over HTTP. ffprobe
// judges the recorded files; camsim's request log shows what the module asked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EndToEnd.h"

namespace {

using namespace talvik_e2e;

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
    EXPECT_EQ(Probe(file, "mjpeg").streamLine, "640,360," + std::to_string(frames));

    // Every picture of the one connection, numbered from 1, none missing or twice.
    const auto pictures = SplitJpegs(ReadFile(file));
    ASSERT_EQ(static_cast<long long>(pictures.size()), frames);
    for (size_t i = 0; i < pictures.size(); ++i) {
        ASSERT_EQ(JpegComment(pictures[i]), "camsim sensor=1 frame=" + std::to_string(i + 1))
            << "picture " << i;
    }
    EXPECT_EQ(static_cast<long long>(ReadCsv(dir.Path() + "/rec_in0_jpeg.csv").size()), frames);
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
    EXPECT_EQ(Probe(dir.Path() + "/rec_in0_jpeg.mjpeg", "mjpeg").streamLine,
              "640,360," + std::to_string(frames));
    // One picture per request, about two seconds apart (fetch time plus interval).
    const auto rows = ReadCsv(dir.Path() + "/rec_in0_jpeg.csv");
    ASSERT_EQ(static_cast<long long>(rows.size()), frames);
    for (size_t i = 1; i < rows.size(); ++i) {
        const long long gap = rows[i].timeMs - rows[i - 1].timeMs;
        EXPECT_GE(gap, 1990) << "row " << i;
        EXPECT_LT(gap, 4000) << "row " << i;
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
    EXPECT_EQ(Probe(dir.Path() + "/live_in0_h264.h264", "h264").streamLine,
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

TEST(HttpVideo, SettingsBesideTheHostAndCroppingBeforeTheStream) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    HostCopy copy(
        "<Configuration><Default><IndoorLightFrequency>60</IndoorLightFrequency>"
        "<BitrateMode>VBR</BitrateMode></Default></Configuration>\n");
    ASSERT_TRUE(copy.ok);
    const RecordRun run = Record(copy.host, sim->HttpPort(),
                                 "--sensors 4 --input 1 --param 7=1 --duration 2", copy.dir.Path());
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
TEST(HttpVideo, RefusedStreamGivesNoFramesNoCrash) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->Get("/sim/fault?prefix=/mjpeg&status=401"), "ok\n");
    TempDir dir;
    const RecordRun run = Record(kHost, sim->HttpPort(), "--duration 4", dir.Path());
    EXPECT_EQ(run.exitCode, 1) << run.json << run.log;
    EXPECT_EQ(JsonNumber(run.json, "frames"), 0);
    const size_t requests = RequestPaths(*sim, "/mjpeg").size();
    EXPECT_GE(requests, 1u);
    EXPECT_LE(requests, 6u);
    // Named once for the whole run of refusals.
    size_t told = 0;
    for (size_t at = run.log.find("(HTTP status 401"); at != std::string::npos;
         at = run.log.find("(HTTP status 401", at + 1))
        ++told;
    EXPECT_EQ(told, 1u) << run.log;
}

// Silent for 15 s: the host is told once, after the data time-out (10 s), and
// frames come back by themselves.
TEST(HttpVideo, SilentCameraIsReportedOnceAndResumes) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(*sim, kCodecJpeg);
    ASSERT_TRUE(host.Start(320, 180, 25)) << host.Error();
    const auto silenced = std::chrono::steady_clock::now();
    ASSERT_EQ(sim->Get("/sim/silence?seconds=15"), "ok\n");
    ASSERT_TRUE(WaitUntil([&] { return host.Sink().SignalLostCount() >= 1; }, 40000));
    EXPECT_GE(std::chrono::steady_clock::now() - silenced, std::chrono::milliseconds(9500));
    const uint64_t before = host.Sink().FrameCount();
    ASSERT_TRUE(host.Sink().WaitForFrames(before + 25, 40000));
    EXPECT_GE(std::chrono::steady_clock::now() - silenced, std::chrono::seconds(15));
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
    InProcessHost host(*sim, kCodecJpeg);
    ASSERT_TRUE(host.Start(320, 180, 25)) << host.Error();
    ASSERT_EQ(sim->Get("/sim/reboot?seconds=3"), "ok\n");
    // Down for 3 s: the stream request is sent again once it listens.
    WaitUntil([&] { return RequestPaths(*sim, "/mjpeg").size() >= 2; }, 40000);
    ASSERT_EQ(RequestPaths(*sim, "/mjpeg").size(), 2u);
    const uint64_t before = host.Sink().FrameCount();
    ASSERT_TRUE(host.Sink().WaitForFrames(before + 25, 20000));
    // Back well within the data time-out: no loss to report.
    EXPECT_EQ(host.Sink().SignalLostCount(), 0u);
}

}  // namespace

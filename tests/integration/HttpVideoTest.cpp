// End to end: the module, loaded by the reference host (as a program or
// in-process through its loader), records from camsim over HTTP. ffprobe
// judges the recorded files; camsim's request log shows what the module asked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EndToEnd.h"

namespace {

using namespace talvik_e2e;
using Lines = std::vector<std::string>;

// The first comment of each picture of a file of concatenated JPEGs (FF D8
// cannot occur inside a picture).
Lines JpegComments(const std::string& data) {
    Lines out;
    for (size_t at = data.find("\xFF\xD8"); at != std::string::npos;
         at = data.find("\xFF\xD8", at + 2)) {
        at = data.find("\xFF\xFE", at);
        if (at == std::string::npos || at + 4 > data.size()) break;
        const size_t length = size_t(uint8_t(data[at + 2])) << 8 | uint8_t(data[at + 3]);
        out.push_back(data.substr(at + 4, length < 2 ? 0 : length - 2));
    }
    return out;
}

TEST(HttpVideo, MjpegAt40msIsCompleteAndDecodable) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    const RecordRun run =
        Record(kHost, sim->HttpPort(), "--codec jpeg --interval 40 --size 640x360 --duration 6",
               dir.Path());
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const long long frames = JsonNumber(run.json, "frames");
    EXPECT_GE(frames, 145);
    EXPECT_LE(frames, 155);
    const std::string file = dir.Path() + "/rec_in0_jpeg.mjpeg";
    EXPECT_EQ(Probe(file, "mjpeg").streamLine, "640,360," + std::to_string(frames));
    // Every picture of the one connection, numbered from 1, none missing or twice.
    Lines expected;
    for (long long i = 1; i <= frames; ++i)
        expected.push_back("camsim sensor=1 frame=" + std::to_string(i));
    EXPECT_EQ(JpegComments(ReadFile(file)), expected);
    EXPECT_EQ(static_cast<long long>(ReadCsv(dir.Path() + "/rec_in0_jpeg.csv").size()), frames);
    EXPECT_EQ(RequestLines(*sim, "GET /mjpeg"),
              Lines{"GET /mjpeg?res=full&x0=0&y0=0&x1=640&y1=360&quality=10&doublescan=0&fps=25&"
                    "ssn=101"});
    EXPECT_EQ(JsonNumber(run.json, "signal_losses"), 0);
}

// One request per picture, about two seconds apart (fetch time plus interval).
TEST(HttpVideo, PicturesEveryTwoSecondsOneRequestEach) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    const RecordRun run =
        Record(kHost, sim->HttpPort(), "--codec jpeg --interval 2000 --duration 5", dir.Path());
    ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
    const auto requests = RequestLines(*sim, "GET /");
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests, Lines(requests.size(),
                              "GET /image?res=full&x0=0&y0=0&x1=640&y1=360&"
                              "quality=10"));
    const long long frames = JsonNumber(run.json, "frames");
    EXPECT_EQ(frames, static_cast<long long>(requests.size()));
    EXPECT_EQ(Probe(dir.Path() + "/rec_in0_jpeg.mjpeg", "mjpeg").streamLine,
              "640,360," + std::to_string(frames));
    const auto rows = ReadCsv(dir.Path() + "/rec_in0_jpeg.csv");
    ASSERT_EQ(static_cast<long long>(rows.size()), frames);
    for (size_t i = 1; i < rows.size(); ++i) {
        EXPECT_GE(rows[i].timeMs - rows[i - 1].timeMs, 1990) << "row " << i;
        EXPECT_LT(rows[i].timeMs - rows[i - 1].timeMs, 4000) << "row " << i;
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
    EXPECT_EQ(Probe(dir.Path() + "/live_in0_h264.h264", "h264").streamLine,
              "640,360," + std::to_string(frames));
    const auto rows = ReadCsv(dir.Path() + "/live_in0_h264.csv");
    EXPECT_EQ(rows.at(0).fourcc, "H264");
    // Each frame's closing delimiter is written before the next frame only, so
    // the file does not end in an empty access unit.
    const std::string video = ReadFile(dir.Path() + "/live_in0_h264.h264");
    ASSERT_GT(video.size(), 5u);
    EXPECT_NE(video.substr(video.size() - 5, 4), std::string("\0\0\x01\x09", 4));
    const auto requests = RequestLines(*sim, "GET /");
    EXPECT_EQ(requests, Lines(std::max<size_t>(requests.size(), 1),
                              "GET /h264f?res=full&x0=0&y0=0&x1=640&y1=360&qp=26&Iframe=1"));
}

// An error answer to the stream request gives no frame and no crash, and the
// camera is not asked again in a tight loop; the refusal is named once.
TEST(HttpVideo, RefusedStreamGivesNoFramesNoCrash) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->Get("/sim/fault?prefix=/mjpeg&status=401"), "ok\n");
    TempDir dir;
    const RecordRun run = Record(kHost, sim->HttpPort(), "--duration 4", dir.Path());
    EXPECT_EQ(run.exitCode, 1) << run.json << run.log;
    EXPECT_EQ(JsonNumber(run.json, "frames"), 0);
    const size_t requests = RequestLines(*sim, "GET /mjpeg").size();
    EXPECT_GE(requests, 1u);
    EXPECT_LE(requests, 6u);
    const size_t first = run.log.find("(HTTP status 401");
    EXPECT_NE(first, std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("(HTTP status 401", first + 1), std::string::npos) << run.log;
}

// Down for 3 s: the stream request is sent again once it listens, back well
// within the data time-out, so there is no loss to report.
TEST(HttpVideo, CameraRebootIsRecovered) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    InProcessHost host(*sim, kCodecJpeg);
    ASSERT_TRUE(host.Start(320, 180, 25)) << host.Error();
    ASSERT_EQ(sim->Get("/sim/reboot?seconds=3"), "ok\n");
    WaitUntil([&] { return RequestLines(*sim, "GET /mjpeg").size() >= 2; }, 40000);
    ASSERT_EQ(RequestLines(*sim, "GET /mjpeg").size(), 2u);
    ASSERT_TRUE(host.MoreFrames(25, 20000));
    EXPECT_EQ(host.Sink().SignalLostCount(), 0u);
}

}  // namespace

// End to end over HTTP: the reference host records from camsim through the
// module (the faults with the driver linked in). ffprobe judges the recorded
// files; camsim's request log shows what the module asked for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EndToEnd.h"

namespace {

using namespace talvik_e2e;

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

// MJPEG stream, JPEG pictures, H.264 key frames: every frame decodes, comes
// in its CSV row at the expected pace, and the camera was asked as it should.
TEST(HttpVideo, EachTransportRecordsEveryFrameDecodable) {
    for (const auto& row : DataRows("integration/data/http_recordings.txt")) {
        SCOPED_TRACE(row[0]);
        auto sim = StartCamSim();
        ASSERT_TRUE(sim);
        Installation host("");
        const RecordRun run = host.Record(*sim, row[0]);
        ASSERT_EQ(run.exitCode, 0) << run.json << run.log;
        const long long frames = JsonNumber(run.json, "frames");
        EXPECT_GE(frames, std::stoll(row[3]));
        EXPECT_LE(frames, std::stoll(row[4]));
        EXPECT_EQ(JsonNumber(run.json, "signal_losses"), 0);
        const std::string file = host.Out(row[1]);
        const ProbeResult probe = Probe(file, row[2]);
        EXPECT_EQ(probe.streamLine, "640,360," + std::to_string(frames));
        EXPECT_EQ(probe.errors, "");
        const std::string video = ReadFile(file);
        const auto rows = ReadCsv(file.substr(0, file.rfind('.')) + ".csv");
        ASSERT_EQ(static_cast<long long>(rows.size()), frames);
        EXPECT_EQ(rows[0].fourcc, row[2] == "h264" ? "H264" : "JPEG");
        for (size_t i = 1; i < rows.size() && row[7] != "0"; ++i) {
            EXPECT_GE(rows[i].timeMs - rows[i - 1].timeMs, std::stoll(row[7])) << "row " << i;
            EXPECT_LT(rows[i].timeMs - rows[i - 1].timeMs, std::stoll(row[8])) << "row " << i;
        }
        const Lines requests = RequestLines(*sim, "GET /");
        EXPECT_EQ(requests, Lines(requests.size(), row[6]));
        const long long asked = static_cast<long long>(requests.size());
        EXPECT_EQ(asked, row[5] == "N" ? frames : row[5] == "1" ? 1 : asked);
        if (row[5] == "1" && row[2] == "mjpeg") {
            // Every picture of the one connection, numbered from 1, none missing or twice.
            Lines expected;
            for (long long i = 1; i <= frames; ++i)
                expected.push_back("camsim sensor=1 frame=" + std::to_string(i));
            EXPECT_EQ(JpegComments(video), expected);
        }
        // Each frame's closing delimiter is written before the next frame
        // only, so the file does not end in an empty access unit.
        EXPECT_FALSE(row[2] == "h264" && video.size() > 5 &&
                     video.compare(video.size() - 5, 4, std::string("\0\0\x01\x09", 4)) == 0);
    }
}

// An error answer to the stream request gives no frame and no crash, and the
// camera is not asked again in a tight loop; the refusal is named once.
TEST(HttpVideo, RefusedStreamGivesNoFramesNoCrash) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->Get("/sim/fault?prefix=/mjpeg&status=401"), "ok\n");
    Installation host("");
    const RecordRun run = host.Record(*sim, "--duration 4");
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
    TempDir dir;
    Driver host(*sim, dir.Path(), kCodecJpeg);
    ASSERT_TRUE(host.Start(320, 180, 25));
    ASSERT_EQ(sim->Get("/sim/reboot?seconds=3"), "ok\n");
    WaitUntil([&] { return RequestLines(*sim, "GET /mjpeg").size() >= 2; }, 40000);
    ASSERT_EQ(RequestLines(*sim, "GET /mjpeg").size(), 2u);
    ASSERT_TRUE(host.MoreFrames(25, 20000));
    EXPECT_EQ(host.sink.SignalLostCount(), 0u);
}

}  // namespace

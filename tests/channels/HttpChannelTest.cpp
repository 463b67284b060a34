#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChannelRig.h"
#include "channels/HttpChannels.h"
#include "support/Threads.h"

namespace talvik {
namespace {

using talvik_channels_test::Clock;
using talvik_channels_test::FakeCamera;
using talvik_channels_test::Rig;
using talvik_channels_test::Serve;
using talvik_channels_test::SettingsDir;

// A minimal baseline JPEG of 640x360 (33 bytes).
const std::string kJpeg =
    talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/channels/data/640x360.jpg");

// New parameters end the current pass at once: the next request carries the
// new size, and the light frequency is not sent again.
TEST(HttpChannel, NewSizeAppliesAtTheNextPassWithoutLightRequest) {
    FakeCamera server;
    server.Reply("/image?res=full&x0=0&y0=0&x1=640&y1=360", kJpeg);
    server.Reply("/image?res=full&x0=0&y0=0&x1=320&y1=180", kJpeg);
    SettingsDir settings(
        "<Configuration><Default><IndoorLightFrequency>50</IndoorLightFrequency></Default>"
        "</Configuration>");
    Rig rig(Serve(server, 200));
    rig.driver.hostDirectory = settings.Path();
    CJpegHttpChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(5000);
    ASSERT_TRUE(channel.Start(&params));
    ASSERT_TRUE(rig.host.WaitForFrames(1, 10000));
    STREAM_UPDATE update;
    update.frameIntervalMs = 5000;
    update.width = 320;
    update.height = 180;
    ASSERT_TRUE(channel.UpdateStreamParams(update));
    // Long before the 5 s interval is over.
    ASSERT_TRUE(rig.host.WaitForFrames(2, 4000));
    channel.Stop();
    // A settings file without BitrateMode drops the quality parameter.
    const auto paths = server.Requests();
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.begin() + 3),
              (std::vector<std::string>{"/set?freq=50", "/image?res=full&x0=0&y0=0&x1=640&y1=360",
                                        "/image?res=full&x0=0&y0=0&x1=320&y1=180"}));
}

// What a picture answer announces and what it then sends: only a whole body
// within the size cap becomes a frame.
TEST(HttpChannel, OnlyWholePictureBodiesWithinTheCap) {
    for (const auto& a : talvik_channels_test::Rows("picture_answers.txt")) {
        SCOPED_TRACE(a[0]);
        const bool h264 = a[4] != "640x360.jpg";
        const size_t frames = std::stoul(a[3]);
        const std::string body =
            talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/channels/data/" + a[4]);
        talvik_test::RawTcpServer server([&](int fd, talvik_test::RawTcpServer& s) {
            std::string head;
            if (!s.ReadRequestHead(fd, &head)) return;
            std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n";
            if (!a[1].empty()) answer += "Content-Length: " + a[1] + "\r\n";
            if (!s.WriteAll(fd, answer + "Connection: close\r\n\r\n" + body)) return;
            if (a[2] == "0") s.HoldOpen(fd);
        });
        Rig rig(server.Port());
        rig.driver.device.timeoutMs = 300;  // a held-open answer ends soon
        std::unique_ptr<CBaseHttpChannel> channel(
            h264 ? static_cast<CBaseHttpChannel*>(new CH264HttpChannel(0, &rig.driver, &rig.host))
                 : new CJpegHttpChannel(0, &rig.driver, &rig.host));
        const STREAM_PARAMS params =
            rig.Params(1001, h264 ? 3 : 1);  // the shortest snapshot interval
        ASSERT_TRUE(channel->Start(&params));
        if (frames > 0) {
            EXPECT_TRUE(rig.host.WaitForFrames(frames, 10000));
        } else {
            EXPECT_TRUE(rig.host.WaitForSignalLost(1, 10000));
        }
        channel->Stop();
        EXPECT_EQ(rig.host.FrameCount() > 0, frames > 0);
    }
}

// A key-frame camera that answers 404 produces no frame; the loss is
// reported once the frame interval has passed.
TEST(HttpChannel, MissingKeyFramePathReportsLoss) {
    FakeCamera camera;
    Rig rig(Serve(camera, 404));
    CH264HttpChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(1001, 3);
    ASSERT_TRUE(channel.Start(&params));
    ASSERT_TRUE(rig.host.WaitForSignalLost(1, 20000));
    EXPECT_EQ(channel.GetStatus(), kChannelSignalLost);
    channel.Stop();
    EXPECT_EQ(rig.host.FrameCount(), 0u);
    ASSERT_FALSE(camera.TimesOf("/h264f").empty());
    EXPECT_NE(camera.Requests()[0].find("&Iframe=1"), std::string::npos) << camera.Requests()[0];
    // Never online, so neither a loss nor an offline message is written.
    EXPECT_TRUE(rig.driver.log.Lines().empty());
}

// Until the camera answers properly the channel keeps asking, a second
// apart (not in a tight loop), tells the host of the loss once the data
// time-out has passed and logs the cause once; then frames flow again.
TEST(HttpChannel, BrokenStreamAtStartIsRetriedAndReported) {
    const auto rows = talvik_channels_test::Rows("broken_answers.txt");
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        std::string answer = row[1];
        if (answer.find("<100 KiB>") != std::string::npos)
            answer.replace(answer.find("<100 KiB>"), 9, std::string(100 * 1024, 'a'));
        const std::string& cause = row[2];
        const bool recover = &row == &rows[0];  // the same for every cause: once is enough
        std::atomic<bool> healthy{false};
        std::mutex mutex;
        std::vector<Clock::time_point> times;  // of the stream requests
        std::string path;                      // of the first one
        talvik_test::RawTcpServer server([&](int fd, talvik_test::RawTcpServer& s) {
            std::string head;
            for (;;) {  // a client that keeps the connection gets the same answer again
                if (!s.ReadRequestHead(fd, &head)) return;
                {
                    std::lock_guard<std::mutex> guard(mutex);
                    times.push_back(Clock::now());
                    if (path.empty()) path = head.substr(4, head.find(" HTTP/") - 4);
                }
                if (healthy) break;
                if (answer.empty()) return s.HoldOpen(fd);
                if (!s.WriteAll(fd, answer)) return;
            }
            if (!s.WriteAll(fd,
                            "HTTP/1.0 200 OK\r\nContent-Type: "
                            "multipart/x-mixed-replace;boundary=b\r\n\r\n"))
                return;
            const std::string part =
                "--b\r\nContent-Type: image/jpeg\r\nContent-Length: 33\r\n\r\n" + kJpeg + "\r\n";
            while (!s.Stopping() && s.WriteAll(fd, part))
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        });
        ASSERT_TRUE(server.Started());
        Rig rig(server.Port());
        rig.driver.device.timeoutMs = 500;
        rig.driver.device.dataTimeoutMs = 1500;  // room for two requests
        CJpegHttpChannel channel(0, &rig.driver, &rig.host);
        const STREAM_PARAMS params = rig.Params(40);
        const auto started = Clock::now();
        ASSERT_TRUE(channel.Start(&params));
        ASSERT_TRUE(rig.host.WaitForSignalLost(1, 30000));
        EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(1500));  // the data time-out
        EXPECT_EQ(channel.GetStatus(), kChannelSignalLost);
        if (recover) {
            healthy = true;  // frames now need a new request: the camera is asked again
            ASSERT_TRUE(rig.host.WaitForFrames(3, 30000));
            EXPECT_EQ(channel.GetStatus(), kChannelStreaming);
        }
        channel.Stop();
        EXPECT_EQ(rig.host.SignalLosses(), 1);
        EXPECT_EQ(rig.host.FrameCount() > 0, recover);
        std::lock_guard<std::mutex> guard(mutex);
        ASSERT_GE(times.size(), 2u);
        for (size_t i = 1; i < times.size(); ++i)
            EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(900)) << "request " << i;
        const std::string logged =
            "talvik::CBaseHttpChannel::RequestStream: Cannot open the stream of device 127.0.0.1:" +
            std::to_string(server.Port()) + ": " + cause + " (\"" + path + "\")";
        std::vector<talvik_test::LogLine> causes;  // logged once per cause
        for (const auto& line : rig.driver.log.Lines()) {
            if (line.text.find("Cannot open the stream") != std::string::npos ||
                line.text.find(cause) != std::string::npos)
                causes.push_back(line);
        }
        ASSERT_EQ(causes.size(), 1u);
        if (answer.find(" 401 ") == std::string::npos) {  // else named by the sender
            EXPECT_EQ(causes[0], (talvik_test::LogLine{1, logged}));
        }
    }
}

// A camera that accepts the stream request and then says nothing: Stop wakes
// the blocked read instead of waiting for the device's time-out.
TEST(HttpChannel, StopWakesABlockedRead) {
    talvik_test::RawTcpServer server([](int fd, talvik_test::RawTcpServer& s) {
        std::string head;
        if (!s.ReadRequestHead(fd, &head)) return;
        s.WriteAll(fd,
                   "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=b\r\n\r\n");
        s.HoldOpen(fd);
    });
    Rig rig(server.Port());
    rig.driver.device.timeoutMs = 30000;
    rig.driver.device.dataTimeoutMs = 60000;
    CJpegHttpChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(40);
    ASSERT_TRUE(channel.Start(&params));
    ASSERT_TRUE(talvik_test::WaitUntil([&] { return server.Connections() == 1; }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it block in the read
    const auto before = Clock::now();
    channel.Stop();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(15));
    EXPECT_EQ(channel.GetStatus(), kChannelStopped);
    for (const auto& line : rig.driver.log.Lines())
        EXPECT_EQ(line.text.find("cannot be stopped"), std::string::npos) << line.text;
}

}  // namespace
}  // namespace talvik

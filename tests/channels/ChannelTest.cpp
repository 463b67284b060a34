// The camera channels: the shared base (state messages, start and stop, frame
// delivery), the HTTP channels against raw and scripted cameras, and the H.264
// RTSP channel's own decisions. End-to-end streaming is covered against camsim
// in the integration tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/MemoryBudget.h"
#include "base/Text.h"
#include "channels/BaseCameraChannel.h"
#include "channels/HttpChannels.h"
#include "channels/RtspChannels.h"
#include "rtsp/RTPPacket.h"
#include "support/FakeCamera.h"
#include "support/FakeHost.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"
#include "support/Threads.h"

namespace talvik {
namespace {

using Clock = std::chrono::steady_clock;
using talvik_test::FakeCamera;
using talvik_test::RawTcpServer;
using Row = std::vector<std::string>;

// The rows of data/<name>, fields split at '|', "\r\n" written out as text.
std::vector<Row> Rows(const std::string& name) {
    auto rows = talvik::test::DataRows("channels/data/" + name, "|");
    for (auto& row : rows)
        for (std::string& field : row)
            for (size_t at; (at = field.find("\\r\\n")) != std::string::npos;)
                field.replace(at, 4, "\r\n");
    return rows;
}
uint32_t U(const std::string& field) {
    return uint32_t(std::stoul(field));
}

// Runs `test` for every row at once, each on a thread of its own: the rows
// wait on the channels' timers, not on the processor.
template <typename Test>
void ForEachRowAtOnce(const std::vector<Row>& rows, Test test) {
    std::vector<std::thread> threads;
    for (const Row& row : rows)
        threads.emplace_back([&test, &row] {
            SCOPED_TRACE(row[0]);
            test(row);
        });
    for (std::thread& thread : threads)
        thread.join();
}

// A camera on a loopback port that answers every path not in its table with
// `status`.
uint16_t Serve(FakeCamera& camera, unsigned status) {
    camera.Otherwise(status, status == 200 ? "ok\r\n" : "no\r\n");
    return camera.Serve();
}

// A driver for a camera on 127.0.0.1:port, with the settings file `xml`
// (none when empty), and the host its frames go to.
struct Rig {
    explicit Rig(uint16_t port, const std::string& xml = "") {
        driver.device.address = "127.0.0.1";
        driver.device.port = port;
        driver.device.timeoutMs = 2000;
        driver.device.dataTimeoutMs = 4000;
        driver.allocator = &host;
        if (xml.empty()) return;
        driver.hostDirectory = dir.Path() + "/";
        FILE* f = std::fopen((driver.hostDirectory + "talvik_test.xml").c_str(), "w");
        std::fputs(xml.c_str(), f);
        std::fclose(f);
    }
    // Starts `channel` on a 640x360 stream.
    static bool Start(ICameraChannel& channel, uint32_t intervalMs, uint32_t codec = 1,
                      uint32_t kind = 0) {
        const STREAM_PARAMS params{intervalMs, 640, 360, 50, codec, kind};
        return channel.Start(&params);
    }
    talvik::test::TempDir dir{"talvik-channels"};
    talvik_test::FakeDriver driver;
    talvik_test::FakeHost host;
};

// A channel whose capture body the test supplies; `started` is set once the
// body has done its first steps.
class ScriptedChannel : public CBaseCameraChannel {
public:
    using CBaseCameraChannel::CBaseCameraChannel;
    ~ScriptedChannel() override { Stop(); }
    using CBaseCameraChannel::IsCameraOnline;
    using CBaseCameraChannel::Params;
    using CBaseCameraChannel::ParamsChangedEvent;
    using CBaseCameraChannel::SendFrameCallback;
    using CBaseCameraChannel::SendSignalLost;
    using CBaseCameraChannel::SetCameraState;
    using CBaseCameraChannel::SetPaused;
    using CBaseCameraChannel::SetStatus;
    using CBaseCameraChannel::StopEvent;
    using CBaseCameraChannel::TakePendingParams;

    std::function<void(ScriptedChannel&)> body;
    std::atomic<int> runs{0};
    CEvent started;
    CManualEvent release;  // what a stuck body waits for, deaf to the stop

    void Run() override {
        runs.fetch_add(1);
        if (body) return body(*this);
        started.Set();
        StopEvent().Wait(kInfinite);
    }
    void GoOnline() {
        SetStatus(kChannelStreaming);
        SetCameraState(true);
    }
};

// A driver for the camera address:80 with `inputs` video inputs.
struct Camera : Rig {
    explicit Camera(uint32_t inputs = 1, const char* address = "10.0.0.5") : Rig(80) {
        driver.device.address = address;
        driver.device.timeoutMs = 100;  // a stuck body is left after 200 ms
        driver.videoInputs = inputs;
    }
};

// The log as "level text" lines, state messages without their tag.
std::vector<std::string> Texts(const talvik_test::RecordingLogger& log) {
    std::vector<std::string> out;
    for (const auto& line : log.Lines()) {
        const size_t tag = line.text.find("SetCameraState: ");
        out.push_back(std::to_string(line.level) + " " +
                      (tag == std::string::npos ? line.text : line.text.substr(tag + 16)));
    }
    return out;
}
const std::string kOnline = "3 Camera 10.0.0.5 is online (Rec)";
const std::string kStopped = "3 Camera 10.0.0.5 is offline. Channel was stopped (Rec)";

// The device name (capitalised or not, with the channel of a multi-sensor
// camera) and the stream kind's suffix in every state message.
TEST(ChannelTest, OnlineAndOfflineMessages) {
    for (const auto& c : Rows("state_messages.txt")) {
        Camera rig(U(c[1]), c[0].c_str());
        ScriptedChannel channel(U(c[2]), &rig.driver, &rig.host);
        ASSERT_TRUE(rig.Start(channel, 100, 1, U(c[3])));
        channel.SetCameraState(true);
        channel.SetCameraState(true);  // unchanged: no second line
        channel.SetStatus(U(c[4]));
        channel.SetCameraState(false);
        channel.Stop();  // already offline: nothing more
        EXPECT_EQ(Texts(rig.driver.log), std::vector<std::string>({c[5], c[6]}));
    }
}

// New size and interval wait for the capture body, which learns what changed.
TEST(ChannelTest, PendingParameters) {
    Camera rig;
    ScriptedChannel channel(0, &rig.driver, &rig.host);
    ASSERT_TRUE(rig.Start(channel, 100));  // 640x360
    for (const Row& c : Rows("pending_params.txt")) {
        EXPECT_TRUE(channel.UpdateStreamParams({U(c[0]), U(c[1]), U(c[2])}));
        EXPECT_TRUE(channel.ParamsChangedEvent().Wait(0));
        EXPECT_EQ(channel.TakePendingParams(), U(c[3])) << c[0] << " " << c[1];
        const STREAM_PARAMS& now = channel.Params();
        EXPECT_EQ(std::to_string(now.frameIntervalMs) + "|" + std::to_string(now.width) + "|" +
                      std::to_string(now.height),
                  c[0] + "|" + c[1] + "|" + c[2]);
    }
    EXPECT_EQ(channel.TakePendingParams(), 0u);
}

// Start, restart and stop: whatever the body does, the channel ends stopped
// and offline, and can run again.
TEST(ChannelTest, StartRestartAndStop) {
    const std::function<void(ScriptedChannel&)> online = [](ScriptedChannel& self) {
        self.GoOnline();
        self.started.Set();
        self.StopEvent().Wait(kInfinite);
    };
    const struct {
        const char* name;
        std::function<void(ScriptedChannel&)> body;
        bool restart;  // a second Start while running
        std::vector<std::string> log;
        bool stuck = false;  // deaf to the stop until released
    } cases[] = {
        {"RestartStopsTheRunningBodyFirst", online, true, {kOnline, kStopped, kOnline, kStopped}},
        // Once a stop has begun the body goes online no more: a body left
        // to end by itself could say so after the stop has returned.
        {"LateFrameAfterTheStopIsOverruled",
         [&](ScriptedChannel& self) {
             online(self);
             self.GoOnline();
         },
         false,
         {kOnline, kStopped}},
        {"StopFromTheCaptureThreadDoesNotWaitForItself",
         [](ScriptedChannel& self) {
             self.Stop();
             self.started.Set();
         },
         false,
         {}},
        {"BodyIgnoringTheStopIsLeftToFinish",
         [](ScriptedChannel& self) {
             self.started.Set();
             self.release.Wait(kInfinite);
             self.runs += 100;  // reached: never ended by force
         },
         false,
         {"2 talvik::CBaseCameraChannel::StopThread: Video capture thread for camera 10.0.0.5 "
          "cannot be stopped and is left to end by itself"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Camera rig;
        ScriptedChannel channel(0, &rig.driver, &rig.host);
        channel.body = c.body;
        ASSERT_TRUE(rig.Start(channel, 100));
        ASSERT_TRUE(channel.started.Wait(10000));
        if (c.restart) {
            ASSERT_TRUE(rig.Start(channel, 250));
            ASSERT_TRUE(channel.started.Wait(10000));
            EXPECT_EQ(channel.Params().frameIntervalMs, 250u);
        }
        channel.Stop();
        EXPECT_EQ(channel.runs.load(), c.restart ? 2 : 1);
        EXPECT_EQ(channel.GetStatus(), kChannelStopped);
        EXPECT_FALSE(channel.IsCameraOnline());
        EXPECT_EQ(Texts(rig.driver.log), c.log);
        EXPECT_FALSE(c.stuck && rig.Start(channel, 100)) << "a second body beside the stuck one";
        channel.release.Set();
        EXPECT_TRUE(talvik_test::WaitUntil([&] { return !c.stuck || channel.runs.load() == 101; }));
        channel.body = nullptr;
        ASSERT_TRUE(rig.Start(channel, 100));
        ASSERT_TRUE(channel.started.Wait(10000)) << "the channel runs again";
    }
}

// A sink that throws, and a frame-time listener that notes its calls.
struct ThrowingSink : IHostFrameSink {
    bool OnFrame(IHostFrame*) override { throw std::runtime_error("host sink bug"); }
    void OnSignalLost() override { throw 7; }
};
struct Listener : IFrameTimeListener {
    void OnFrameTime(uint32_t input, uint64_t time) override {
        if (throwOnFrame) throw std::runtime_error("listener bug");
        heard.push_back(std::to_string(input) + " at " + std::to_string(time));
    }
    void OnListenerSignalLost(uint32_t input) override { heard.push_back(std::to_string(input)); }
    bool throwOnFrame = false;
    std::vector<std::string> heard;
};

// What one frame and one signal loss come to: the answer, the host's frames,
// the frame-time listener's calls and the log. A paused channel tells only
// the listener; a failing sink or listener is logged and never thrown on.
TEST(ChannelTest, FrameAndSignalLossDelivery) {
    const auto list = [](const std::string& field) {  // split at ';'
        std::vector<std::string> items;
        std::istringstream in(field);
        for (std::string item; std::getline(in, item, ';');)
            items.push_back(item);
        return items;
    };
    const HostSystemTime t{2020, 1, 0, 2, 3, 4, 5, 678};
    for (const auto& c : Rows("frame_delivery.txt")) {
        SCOPED_TRACE(c[0] + " paused " + c[1]);
        Camera rig;
        rig.host.acceptFrames = c[0] != "refusing";
        ThrowingSink throwing;
        Listener listener;
        listener.throwOnFrame = c[3] == "1";
        IHostFrameSink* to = c[0] == "none" ? nullptr : &rig.host;
        ScriptedChannel channel(1, &rig.driver, c[0] == "throwing" ? &throwing : to);
        channel.SetFrameTimeListener(&listener);
        channel.SetPaused(c[1] == "1");
        talvik_test::FakeFrame frame(kFourCCJpeg, 16, "s");
        frame.SetTime(&t);
        EXPECT_EQ(channel.SendFrameCallback(c[2] == "1" ? &frame : nullptr), c[4] == "1");
        channel.SendSignalLost();
        EXPECT_EQ(rig.host.FrameCount(), std::stoul(c[5]));
        EXPECT_EQ(listener.heard, list(c[6]));
        EXPECT_EQ(rig.host.SignalLosses(), c[0] == "host" || c[0] == "refusing" ? 1 : 0);
        EXPECT_EQ(Texts(rig.driver.log), list(c[7]));
    }
}

// A minimal baseline JPEG of 640x360 (33 bytes).
const std::string kJpeg =
    talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/channels/data/640x360.jpg");

// New parameters end the current pass at once: the next request carries the
// new size, and the light frequency is not sent again.
TEST(HttpChannel, NewSizeAppliesAtTheNextPassWithoutLightRequest) {
    FakeCamera server;
    server.Reply("/image?res=full&x0=0&y0=0&x1=640&y1=360", kJpeg);
    server.Reply("/image?res=full&x0=0&y0=0&x1=320&y1=180", kJpeg);
    Rig rig(Serve(server, 200),
            "<Configuration><Default><IndoorLightFrequency>50</IndoorLightFrequency></Default>"
            "</Configuration>");
    CJpegHttpChannel channel(0, &rig.driver, &rig.host);
    ASSERT_TRUE(rig.Start(channel, 5000));
    ASSERT_TRUE(rig.host.WaitForFrames(1, 10000));
    const STREAM_UPDATE update{5000, 320, 180};
    ASSERT_TRUE(channel.UpdateStreamParams(update));
    ASSERT_TRUE(rig.host.WaitForFrames(2, 4000));  // long before the 5 s interval is over
    channel.Stop();
    // A settings file without BitrateMode drops the quality parameter.
    const auto paths = server.Requests();
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.begin() + 3),
              (std::vector<std::string>{"/set?freq=50", "/image?res=full&x0=0&y0=0&x1=640&y1=360",
                                        "/image?res=full&x0=0&y0=0&x1=320&y1=180"}));
}

// What a picture answer announces and what it then sends: only a whole body
// within the size cap becomes a frame; without one the loss is reported once
// the frame interval has passed, and a camera never online logs nothing. A
// body trickled slower than it is useful is given up, so the loss is
// reported while the camera still sends.
TEST(HttpChannel, OnlyWholePictureBodiesWithinTheCap) {
    const auto test = [](const std::vector<std::string>& a) {
        const bool h264 = a[5] != "640x360.jpg";
        const size_t frames = std::stoul(a[4]);
        const std::string body =
            talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/channels/data/" + a[5]);
        std::atomic<bool> keyFrameAsked{false};
        RawTcpServer server([&](int fd, RawTcpServer& s) {
            std::string head;
            if (!s.ReadRequestHead(fd, &head)) return;
            if (head.find("&Iframe=1 ") != std::string::npos) keyFrameAsked = true;
            std::string answer = "HTTP/1.1 " + a[1] + " OK\r\nContent-Type: image/jpeg\r\n";
            if (!a[2].empty()) answer += "Content-Length: " + a[2] + "\r\n";
            if (a[3] == "trickle") {  // the head at once, then a byte every 100 ms
                if (!s.WriteAll(fd, answer + "\r\n")) return;
                const std::string all = body + std::string(std::stoul(a[2]) - body.size(), 'x');
                for (size_t i = 0; i < all.size() && !s.Stopping(); ++i) {
                    if (!s.WriteAll(fd, all.substr(i, 1))) return;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                return;
            }
            if (!s.WriteAll(fd, answer + "Connection: close\r\n\r\n" + body)) return;
            if (a[3] == "0") s.HoldOpen(fd);
        });
        Rig rig(server.Port());
        rig.driver.device.timeoutMs = 300;  // a held-open answer ends soon
        std::unique_ptr<CBaseHttpChannel> channel(
            h264 ? static_cast<CBaseHttpChannel*>(new CH264HttpChannel(0, &rig.driver, &rig.host))
                 : new CJpegHttpChannel(0, &rig.driver, &rig.host));
        ASSERT_TRUE(rig.Start(*channel, 1001, h264 ? 3 : 1));  // the shortest snapshot
        if (frames > 0) {
            EXPECT_TRUE(rig.host.WaitForFrames(frames, 10000));
        } else {
            // The data time-out (4 s) bounds a picture request, and so the
            // loss, however slowly the camera sends.
            EXPECT_TRUE(rig.host.WaitForSignalLost(1, 10000));
            EXPECT_EQ(channel->GetStatus(), kChannelSignalLost);
            EXPECT_TRUE(rig.driver.log.Lines().empty());
        }
        channel->Stop();
        EXPECT_EQ(rig.host.FrameCount() > 0, frames > 0);
        EXPECT_EQ(keyFrameAsked, h264);
    };
    ForEachRowAtOnce(Rows("picture_answers.txt"), test);
}

// A picture the process's buffer budget has no room for is dropped before
// it is read: no frame, one log line however many requests it takes; once
// the budget has room, pictures come again, and every byte is given back.
TEST(HttpChannel, PictureBeyondTheBudgetDroppedUntilThereIsRoom) {
    const std::string body = kJpeg + std::string((1 << 20) - kJpeg.size(), 'x');
    std::atomic<int> requests{0};
    RawTcpServer server([&](int fd, RawTcpServer& s) {
        std::string head;
        if (!s.ReadRequestHead(fd, &head)) return;
        ++requests;
        s.WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    });
    ASSERT_TRUE(server.Started());
    CMemoryBudget& budget = CMemoryBudget::Process();
    const size_t limit = budget.Limit();
    budget.SetLimit(512 << 10);
    {
        Rig rig(server.Port());
        CJpegHttpChannel channel(0, &rig.driver, &rig.host);
        ASSERT_TRUE(rig.Start(channel, 1001));
        EXPECT_TRUE(talvik_test::WaitUntil([&] { return requests >= 3; }, 20000));
        EXPECT_EQ(rig.host.FrameCount(), 0u);
        const std::vector<talvik_test::LogLine> dropped{
            {2,
             "talvik::CBaseHttpChannel::FetchPicture: The buffers of all streams are at their "
             "limit of 512 KiB: a picture from device 127.0.0.1:" +
                 std::to_string(server.Port()) + " was dropped"}};
        EXPECT_EQ(rig.driver.log.Lines(), dropped);
        budget.SetLimit(limit);
        EXPECT_TRUE(rig.host.WaitForFrames(1, 20000));
        channel.Stop();
    }
    budget.SetLimit(limit);
    EXPECT_EQ(budget.Used(), 0u);
}

// Until the camera answers properly the channel keeps asking, a second
// apart (not in a tight loop), tells the host of the loss once the data
// time-out has passed and logs the cause once; then frames flow again.
TEST(HttpChannel, BrokenStreamAtStartIsRetriedAndReported) {
    const auto rows = Rows("broken_answers.txt");
    const auto test = [&rows](const std::vector<std::string>& row) {
        std::string answer = row[1];
        if (answer.find("<100 KiB>") != std::string::npos)
            answer.replace(answer.find("<100 KiB>"), 9, std::string(100 * 1024, 'a'));
        const bool recover = &row == &rows[0];  // the same for every cause: once is enough
        std::atomic<bool> healthy{false}, silentAgain{false};
        std::mutex mutex;
        std::vector<Clock::time_point> times;  // of the stream requests
        RawTcpServer server([&](int fd, RawTcpServer& s) {
            std::string head;
            for (;;) {  // a client that keeps the connection gets the same answer again
                if (!s.ReadRequestHead(fd, &head)) return;
                {
                    std::lock_guard<std::mutex> guard(mutex);
                    times.push_back(Clock::now());
                }
                if (healthy) break;
                if (answer.empty()) return s.HoldOpen(fd);
                if (!s.WriteAll(fd, answer)) return;
            }
            const std::string part =
                "--b\r\nContent-Type: image/jpeg\r\nContent-Length: 33\r\n\r\n" + kJpeg + "\r\n";
            if (!s.WriteAll(fd,
                            "HTTP/1.0 200 OK\r\nContent-Type: "
                            "multipart/x-mixed-replace;boundary=b\r\n\r\n"))
                return;
            while (!s.Stopping() && !silentAgain && s.WriteAll(fd, part))
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (silentAgain) s.HoldOpen(fd);
        });
        ASSERT_TRUE(server.Started());
        Rig rig(server.Port());
        rig.driver.device.timeoutMs = 500;
        rig.driver.device.dataTimeoutMs = 1500;  // room for two requests
        CJpegHttpChannel channel(0, &rig.driver, &rig.host);
        const auto started = Clock::now();
        ASSERT_TRUE(rig.Start(channel, 40));
        ASSERT_TRUE(rig.host.WaitForSignalLost(1, 30000));
        EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(1500));  // the data time-out
        EXPECT_EQ(channel.GetStatus(), kChannelSignalLost);
        size_t refused = 0;  // requests answered badly: the retries are spaced out
        if (recover) {
            {
                std::lock_guard<std::mutex> guard(mutex);
                refused = times.size();
            }
            healthy = true;  // frames now need a new request: the camera is asked again
            ASSERT_TRUE(rig.host.WaitForFrames(3, 30000));
            EXPECT_EQ(channel.GetStatus(), kChannelStreaming);
            silentAgain = true;  // a second outage is told as well
            ASSERT_TRUE(rig.host.WaitForSignalLost(2, 30000));
            ASSERT_TRUE(talvik_test::WaitUntil(  // logged just after the host is told
                [&] {
                    const auto lines = rig.driver.log.Lines();
                    return std::any_of(lines.begin(), lines.end(), [](const auto& line) {
                        return line.text.find("Signal was lost") != std::string::npos;
                    });
                },
                20000));
        }
        channel.Stop();
        EXPECT_EQ(rig.host.SignalLosses(), recover ? 2 : 1);
        EXPECT_EQ(rig.host.FrameCount() > 0, recover);
        std::lock_guard<std::mutex> guard(mutex);
        ASSERT_GE(times.size(), 2u);
        for (size_t i = 1; i < (recover ? refused : times.size()); ++i)
            EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(900)) << "request " << i;
        std::vector<std::string> errors;  // the cause, once
        for (const auto& line : rig.driver.log.Lines())
            if (line.level == 1) errors.push_back(line.text);
        std::string logged = row[2];
        logged.replace(logged.find("<port>"), 6, std::to_string(server.Port()));
        std::vector<std::string> expected{logged};
        if (recover)
            expected.push_back(
                "talvik::CBaseCameraChannel::SetCameraState: Signal was lost for "
                "camera 127.0.0.1 (Rec)");
        EXPECT_EQ(errors, expected);
    };
    ForEachRowAtOnce(rows, test);
}

// A camera that accepts the stream request and then says nothing: Stop wakes
// the blocked read instead of waiting for the device's time-out.
TEST(HttpChannel, StopWakesABlockedRead) {
    RawTcpServer server([](int fd, RawTcpServer& s) {
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
    ASSERT_TRUE(rig.Start(channel, 40));
    ASSERT_TRUE(talvik_test::WaitUntil([&] { return server.Connections() == 1; }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it block in the read
    const auto before = Clock::now();
    channel.Stop();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(15));
    EXPECT_EQ(channel.GetStatus(), kChannelStopped);
    EXPECT_EQ(rig.driver.log.Count(2), 0u) << "the capture thread had to be left running";
}

// The channel runs against a camera whose RTSP port refuses: the requests of
// one preparation, then the same again on the next attempt.
TEST(RtspChannel, CameraRequestsBeforeTheSession) {
    const auto test = [](const std::vector<std::string>& c) {
        const std::string& expected = c[7];
        const size_t count = std::count(expected.begin(), expected.end(), ' ') + 1;
        FakeCamera camera;
        // Interleaved: no UDP port search before each attempt.
        Rig rig(
            Serve(camera, U(c[6])),
            std::string("<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode>") +
                (c[1].empty() ? "" : "<IndoorLightFrequency>" + c[1] + "</IndoorLightFrequency>") +
                "</Default></Configuration>");
        rig.driver.videoInputs = U(c[2]);
        rig.driver.parameters[2] = "1";  // nothing listens there
        rig.driver.device.timeoutMs = 300;
        rig.driver.device.dataTimeoutMs = 600;
        CH264ChannelRTSP channel(U(c[3]), &rig.driver, &rig.host);
        ASSERT_TRUE(rig.Start(channel, U(c[5]), 3, U(c[4])));
        ASSERT_TRUE(camera.WaitFor("", count + 1, 20000));
        channel.Stop();
        std::string paths;  // one preparation and the start of the next attempt
        for (size_t i = 0; i <= count; ++i)
            paths += camera.Requests()[i] + (i < count ? " " : "");
        EXPECT_EQ(paths, expected + " /get?channelenable");
        EXPECT_EQ(rig.host.FrameCount(), 0u);
    };
    ForEachRowAtOnce(Rows("rtsp_preparation.txt"), test);
}

class ProbeChannel : public CH264ChannelRTSP {
public:
    using CH264ChannelRTSP::CH264ChannelRTSP;
    using CH264ChannelRTSP::FillRTSPSettings;
    using CH264ChannelRTSP::LastFrameTime;
    using CH264ChannelRTSP::SetStatus;
    // Whether frames came recently enough, without the RTSP session's word.
    bool FramesAlive() { return CBaseRTPChannel::IsAlive(); }
};

// The server port comes from host parameter 2 when it is a port; pause and
// resume answer only on a change, and the time spent paused is no silence of
// the camera; only H.264 (or an unnamed encoding) is taken on.
TEST(RtspChannel, ServerPortPauseResumeAndEncoding) {
    const std::vector<std::pair<const char*, uint16_t>> ports = {
        {"8554 rtsp", 8554}, {"0", 554}, {"99999", 554}, {nullptr, 1234}, {"(none)", 1234}};
    for (const auto& c : ports) {
        Rig rig(80);
        if (c.first != nullptr) rig.driver.parameters[2] = c.first;
        ProbeChannel channel(0, &rig.driver, &rig.host);
        RTSPClientSettings settings;
        settings.serverPort = 1234;  // the client's default
        channel.FillRTSPSettings(settings);
        EXPECT_EQ(settings.serverPort, c.second) << (c.first ? c.first : "absent");
        EXPECT_EQ(settings.defaultSessionTimeout, 9u);
        EXPECT_EQ((std::vector<bool>{channel.Resume(), channel.Pause(), channel.Pause(),
                                     channel.Resume(), channel.Resume()}),
                  (std::vector<bool>{false, true, false, true, false}));
        channel.SetStatus(kChannelStreaming);
        ASSERT_TRUE(channel.Pause());
        // The last frame came before a pause of ten minutes.
        channel.LastFrameTime().Set(NowFileTime() - 600000 * kFileTimeUnitsPerMs);
        EXPECT_TRUE(channel.FramesAlive());
        ASSERT_TRUE(channel.Resume());
        EXPECT_TRUE(channel.FramesAlive()) << "the pause counted as silence";
    }
    for (const auto& c : Rows("session_encodings.txt")) {
        Rig rig(80);
        rig.driver.device.address = "10.0.0.5";
        CH264ChannelRTSP channel(0, &rig.driver, &rig.host);
        RTSPSessionInfo info;
        info.media[kVideoSlot].encoding = c[0];
        EXPECT_EQ(channel.OnRTSPSessionReady(&info), c[1] == "1") << c[0];
        const std::vector<talvik_test::LogLine> none, refused = {{1, c[2]}};
        EXPECT_EQ(rig.driver.log.Lines(), c[2].empty() ? none : refused);
    }
}

// While the host sits in OnFrame the capture thread goes on with its
// attempts (each one resets the time converter the parser uses) and stops
// in time; the frame is delivered once the host returns.
TEST(RtspChannel, SlowHostFrameHoldsUpNeitherCaptureNorStop) {
    FakeCamera camera;
    Rig rig(Serve(camera, 200),
            "<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode></Default></Configuration>");
    CManualEvent entered, release;
    rig.host.onFrame = [&] { entered.Set(), release.Wait(20000); };
    rig.driver.parameters[2] = "1";  // nothing listens there: every attempt fails
    CH264ChannelRTSP channel(0, &rig.driver, &rig.host);
    ASSERT_TRUE(rig.Start(channel, 40, 3, 1));
    ASSERT_TRUE(camera.WaitFor("/get?channelenable", 1, 10000));
    RTSPSessionInfo info;  // sprop-parameter-sets=Z0IAHpWoLQSZ,aM4xsg==
    info.media[kVideoSlot].encoding = "H264/90000";
    info.parameterSets.push_back(
        {96, {0x67, 0x42, 0x00, 0x1e, 0x95, 0xa8, 0x2d, 0x04, 0x99}, {0x68, 0xce, 0x31, 0xb2}});
    ASSERT_TRUE(channel.OnRTSPSessionReady(&info));
    // One IDR slice in one packet with the marker bit: a whole frame.
    const uint8_t bytes[] = {0x80, 0xE0, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4, 0x65, 0x88, 0x84, 0x00};
    CRTPPacket packet;
    ASSERT_TRUE(packet.Parse(bytes, sizeof(bytes)));
    std::thread feeder([&] { channel.OnInterleavedPacket(&packet); });
    ASSERT_TRUE(entered.Wait(10000));
    const size_t attempts = camera.TimesOf("/get?channelenable").size();
    EXPECT_TRUE(camera.WaitFor("/get?channelenable", attempts + 2, 10000))
        << "the capture thread waits for the host";
    channel.Stop();
    EXPECT_EQ(rig.driver.log.Count(2), 0u) << "the capture thread had to be left running";
    release.Set();
    feeder.join();
    EXPECT_EQ(rig.host.FrameCount(), 1u);
}

// Needs no camera requests; sends its second session's receiver reports
// twice a second.
class QuickReportChannel : public CH264ChannelRTSP {
public:
    QuickReportChannel(uint32_t input, IDriver* driver, IHostFrameSink* sink)
        : CH264ChannelRTSP(input, driver, sink) {
        rtcp2_.SetReportInterval(500);
    }

protected:
    bool PrepareCamera() override { return true; }
};

// A loopback UDP socket standing in for the camera's side of a session.
struct CameraUdp {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    CameraUdp() {
        socklen_t length = sizeof local;
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), length) == 0)
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        else
            local.sin_port = 0;
    }
    ~CameraUdp() { close(fd); }
    uint16_t Port() const { return ntohs(local.sin_port); }
};

// The next RTCP packet at the socket within 20 s: its type and sender port.
bool ReceiveRtcp(int fd, int* type, uint16_t* fromPort) {
    pollfd p{fd, POLLIN, 0};
    uint8_t packet[1500];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    if (poll(&p, 1, 20000) != 1 ||
        recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length) < 8)
        return false;
    *type = packet[1];
    *fromPort = ntohs(from.sin_port);
    return true;
}

// "camera.test" resolves to 127.0.0.1 once the flag is set; nothing else does.
std::atomic<bool> g_cameraNameResolves{false};
std::atomic<int> g_lookups{0};
uint32_t TestResolver(const std::string& host) {
    ++g_lookups;
    return host == "camera.test" && g_cameraNameResolves ? htonl(INADDR_LOOPBACK) : 0;
}

// A camera name that does not resolve is a failed connect, retried with a new
// look-up. Host parameter 5 "0": a second port pair is opened, its receiver
// reports go to the camera's RTCP port + 2, and both pairs are closed at the
// stop.
TEST(RtspChannel, NameLookedUpAtEachConnectAndParameterFiveOpensASecondSession) {
    CameraUdp camera;  // the camera's RTCP port + 2
    ASSERT_NE(camera.Port(), 0);
    const int fd = camera.fd;
    // Takes the session and never answers: no frames, no renewal.
    talvik_test::RawTcpServer rtsp(
        [](int client, talvik_test::RawTcpServer& s) { s.HoldOpen(client); });
    Rig rig(1);
    rig.driver.parameters[2] = std::to_string(rtsp.Port());
    rig.driver.parameters[5] = "0";
    rig.driver.device.timeoutMs = 10000;
    rig.driver.device.dataTimeoutMs = 20000;
    rig.driver.device.address = "camera.test";
    SetHostResolver(&TestResolver);
    QuickReportChannel channel(0, &rig.driver, &rig.host);
    ASSERT_TRUE(rig.Start(channel, 40, 3, 1));
    ASSERT_TRUE(talvik_test::WaitUntil([] { return g_lookups >= 2; }, 20000));
    g_cameraNameResolves = true;
    RTSPSessionInfo info;
    info.serverRtcpPort = camera.Port() - 2u;
    ASSERT_TRUE(channel.OnRTSPSessionReady(&info));
    int type = 0;
    uint16_t reportPort = 0;
    ASSERT_TRUE(ReceiveRtcp(fd, &type, &reportPort));
    EXPECT_EQ(type, 201) << "a receiver report";
    // The ports come from the wire: the receivers belong to the capture thread.
    const uint16_t second = uint16_t(reportPort - 1);
    EXPECT_EQ(second % 2, 0);
    channel.Stop();
    do {
        ASSERT_TRUE(ReceiveRtcp(fd, &type, &reportPort));
    } while (type != 203);
    EXPECT_EQ(reportPort, second + 1) << "the BYE of the second session";
    EXPECT_EQ(channel.GetRtpPort(), 0);
    EXPECT_EQ(channel.GetSecondRtpPort(), 0);
    SetHostResolver(nullptr);
}

// A started UDP stream runs five threads: capture, RTSP client, RTP socket,
// RTP delivery and RTCP socket; its receiver reports go out from the last.
TEST(RtspChannel, UdpStreamRunsFiveThreads) {
    CameraUdp camera;  // RTCP to it
    ASSERT_NE(camera.Port(), 0);
    talvik_test::RawTcpServer rtsp(
        [](int client, talvik_test::RawTcpServer& s) { s.HoldOpen(client); });
    Rig rig(1);
    rig.driver.parameters[2] = std::to_string(rtsp.Port());
    struct Channel : QuickReportChannel {
        using QuickReportChannel::QuickReportChannel;
        void Report() { rtcp_.SetReportInterval(500); }
    } channel(0, &rig.driver, &rig.host);
    channel.Report();
    const int before = talvik_test::ThreadCount();
    ASSERT_TRUE(rig.Start(channel, 40, 3, 1));
    ASSERT_TRUE(talvik_test::WaitUntil([&] { return rtsp.Connections() == 1; }, 20000));
    RTSPSessionInfo info;
    info.serverRtcpPort = camera.Port();
    ASSERT_TRUE(channel.OnRTSPSessionReady(&info));
    int type = 0;
    uint16_t reportPort = 0;
    for (int report = 0; report < 2; ++report) {
        ASSERT_TRUE(ReceiveRtcp(camera.fd, &type, &reportPort));
        EXPECT_EQ(type, 201) << "a receiver report";
    }
    EXPECT_EQ(talvik_test::ThreadCount() - before, 5);
    channel.Stop();
    ASSERT_TRUE(ReceiveRtcp(camera.fd, &type, &reportPort));
    EXPECT_EQ(type, 203) << "the BYE at the stop";
}

// The host sits in OnFrame on the delivery thread past every stop limit while
// its owner lets go of the channel: the final stop returns in time with one
// warning, the delivery thread is left to finish (never ended) and keeps the
// channel until it has; the frame is then done and the channel goes.
TEST(RtspChannel, HostStuckInAFrameAtTheFinalStopKeepsTheChannelAlive) {
    CameraUdp camera;  // RTP from it, RTCP to it
    ASSERT_NE(camera.Port(), 0);
    const int fd = camera.fd;
    talvik_test::RawTcpServer rtsp(
        [](int client, talvik_test::RawTcpServer& s) { s.HoldOpen(client); });
    Rig rig(1);
    rig.driver.parameters[2] = std::to_string(rtsp.Port());
    CManualEvent entered, release;
    rig.host.onFrame = [&] { entered.Set(), release.Wait(60000); };
    struct Channel : QuickReportChannel {
        using QuickReportChannel::QuickReportChannel;
        void Report() { rtcp_.SetReportInterval(500); }
    };
    auto channel = std::make_shared<Channel>(0, &rig.driver, &rig.host);
    channel->Report();
    ASSERT_TRUE(rig.Start(*channel, 40, 3, 1));
    RTSPSessionInfo info;  // sprop-parameter-sets=Z0IAHpWoLQSZ,aM4xsg==
    info.serverRtcpPort = camera.Port();
    info.media[kVideoSlot].encoding = "H264/90000";
    info.parameterSets.push_back(
        {96, {0x67, 0x42, 0x00, 0x1e, 0x95, 0xa8, 0x2d, 0x04, 0x99}, {0x68, 0xce, 0x31, 0xb2}});
    ASSERT_TRUE(channel->OnRTSPSessionReady(&info));
    int type = 0;
    uint16_t reportPort = 0;
    ASSERT_TRUE(ReceiveRtcp(fd, &type, &reportPort));
    // One IDR slice in one packet with the marker bit: a whole frame.
    const uint8_t frame[] = {0x80, 0xE0, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4, 0x65, 0x88, 0x84, 0x00};
    sockaddr_in to{AF_INET, htons(uint16_t(reportPort - 1)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(sendto(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(sizeof frame));
    ASSERT_TRUE(entered.Wait(10000));
    const auto before = Clock::now();
    channel->Retire(channel);
    // Limits: the stuck delivery thread's 2 s; the other threads end at once.
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(10));
    const std::weak_ptr<Channel> watch = channel;
    channel.reset();
    EXPECT_FALSE(watch.expired()) << "deleted under its delivery thread";
    ASSERT_EQ(rig.driver.log.Count(2), 1u);
    const std::string warning = Texts(rig.driver.log).back();
    EXPECT_EQ(warning.substr(0, warning.find('(')), "2 talvik::CBaseThread::StopThread: Thread ");
    EXPECT_NE(warning.find("name\"RTP Packet Queue (" + std::to_string(reportPort - 1) +
                           ")\") was not stopped during 2000 milliseconds and is left to end "
                           "by itself"),
              std::string::npos)
        << warning;
    release.Set();
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return watch.expired(); }, 20000));
    EXPECT_EQ(rig.host.FrameCount(), 1u);
}

}  // namespace
}  // namespace talvik

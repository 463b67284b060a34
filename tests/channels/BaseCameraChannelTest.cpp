#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChannelRig.h"
#include "channels/BaseCameraChannel.h"

namespace talvik {
namespace {

using talvik_channels_test::Rig;
using talvik_test::FakeFrame;
using talvik_test::LogLine;

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
        driver.device.timeoutMs = 100;  // a stuck body is terminated after 200 ms
        driver.videoInputs = inputs;
    }
};

// The log as "level text" lines, state messages without their tag.
std::vector<std::string> Texts(const talvik_test::RecordingLogger& log) {
    std::vector<std::string> out;
    for (const LogLine& line : log.Lines()) {
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
    for (const auto& c : talvik_channels_test::Rows("state_messages.txt")) {
        using talvik_channels_test::U;
        Camera rig(U(c[1]), c[0].c_str());
        ScriptedChannel channel(U(c[2]), &rig.driver, &rig.host);
        const STREAM_PARAMS params = rig.Params(100, 1, U(c[3]));
        ASSERT_TRUE(channel.Start(&params));
        channel.SetCameraState(true);
        channel.SetCameraState(true);  // unchanged: no second line
        channel.SetStatus(U(c[4]));
        channel.SetCameraState(false);
        channel.Stop();  // already offline: nothing more
        EXPECT_EQ(Texts(rig.driver.log), std::vector<std::string>({c[5], c[6]}));
    }
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
    } cases[] = {
        {"RestartStopsTheRunningBodyFirst", online, true, {kOnline, kStopped, kOnline, kStopped}},
        {"LateFrameAfterTheStopIsOverruled",
         [&](ScriptedChannel& self) {
             online(self);
             self.GoOnline();
         },
         false,
         {kOnline, kStopped, kOnline, kStopped}},
        {"StopFromTheCaptureThreadDoesNotWaitForItself",
         [](ScriptedChannel& self) {
             self.Stop();
             self.started.Set();
         },
         false,
         {}},
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer does not model thread cancellation
        {"BodyIgnoringTheStopIsTerminated",
         [](ScriptedChannel& self) {
             self.started.Set();
             for (int i = 0; i < 60000; ++i)
                 usleep(1000);  // a cancellation point
             self.runs = -100;  // must not be reached
         },
         false,
         {"2 talvik::CBaseCameraChannel::StopThread: Video capture thread for camera 10.0.0.5 "
          "cannot be stopped and will be terminated now"}},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Camera rig;
        ScriptedChannel channel(0, &rig.driver, &rig.host);
        channel.body = c.body;
        const STREAM_PARAMS first = rig.Params(100), second = rig.Params(250);
        ASSERT_TRUE(channel.Start(&first));
        ASSERT_TRUE(channel.started.Wait(10000));
        if (c.restart) {
            ASSERT_TRUE(channel.Start(&second));
            ASSERT_TRUE(channel.started.Wait(10000));
            EXPECT_EQ(channel.Params().frameIntervalMs, 250u);
        }
        channel.Stop();
        EXPECT_EQ(channel.runs.load(), c.restart ? 2 : 1);
        EXPECT_EQ(channel.GetStatus(), kChannelStopped);
        EXPECT_FALSE(channel.IsCameraOnline());
        EXPECT_EQ(Texts(rig.driver.log), c.log);
        channel.body = nullptr;
        ASSERT_TRUE(channel.Start(&first));
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
    for (const auto& c : talvik_channels_test::Rows("frame_delivery.txt")) {
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
        FakeFrame frame(kFourCCJpeg, 16, "s");
        frame.SetTime(&t);
        EXPECT_EQ(channel.SendFrameCallback(c[2] == "1" ? &frame : nullptr), c[4] == "1");
        channel.SendSignalLost();
        EXPECT_EQ(rig.host.FrameCount(), std::stoul(c[5]));
        EXPECT_EQ(listener.heard, list(c[6]));
        EXPECT_EQ(rig.host.SignalLosses(), c[0] == "host" || c[0] == "refusing" ? 1 : 0);
        EXPECT_EQ(Texts(rig.driver.log), list(c[7]));
    }
}

// New size and interval wait for the capture body, which learns what changed.
TEST(ChannelTest, PendingParameters) {
    Camera rig;
    ScriptedChannel channel(0, &rig.driver, &rig.host);
    const STREAM_PARAMS params = rig.Params(100);  // 640x360
    ASSERT_TRUE(channel.Start(&params));
    const struct {
        uint32_t interval, width, height, bits;
    } cases[] = {
        {100, 640, 360, 0}, {200, 640, 360, 1},  {200, 800, 360, 2},
        {200, 800, 600, 2}, {300, 1024, 768, 3},
    };
    for (const auto& c : cases) {
        STREAM_UPDATE update;
        update.frameIntervalMs = c.interval;
        update.width = c.width;
        update.height = c.height;
        EXPECT_TRUE(channel.UpdateStreamParams(update));
        EXPECT_TRUE(channel.ParamsChangedEvent().Wait(0));
        EXPECT_EQ(channel.TakePendingParams(), c.bits) << c.interval << " " << c.width;
        const STREAM_PARAMS& now = channel.Params();
        EXPECT_EQ(std::vector<uint32_t>({now.frameIntervalMs, now.width, now.height}),
                  std::vector<uint32_t>({c.interval, c.width, c.height}));
    }
    EXPECT_EQ(channel.TakePendingParams(), 0u);
}

}  // namespace
}  // namespace talvik

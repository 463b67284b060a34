#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostObjects.h"
#include "base/Time.h"
#include "channels/BaseCameraChannel.h"
#include "driver/ArecontIPCaptureDriver.h"

using talvik::STREAM_PARAMS;
using talvik_host::HostDebugSink;
using talvik_host::LogRecord;

namespace {

constexpr uint32_t kWaitMs = 10000;

class TestDriver : public talvik::CArecontIPCaptureDriver {
public:
    using talvik::CIPCaptureDriver::MutableDeviceInfo;
};

// A channel whose capture body the test supplies.
class ScriptedChannel : public talvik::CBaseCameraChannel {
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
    talvik::CEvent started;

    void Run() override {
        runs.fetch_add(1);
        started.Set();
        if (body) {
            body(*this);
        } else {
            StopEvent().Wait(talvik::kInfinite);
        }
    }
};

class ThrowingSink : public talvik::IHostFrameSink {
public:
    bool OnFrame(talvik::IHostFrame*) override { throw std::runtime_error("host sink bug"); }
    void OnSignalLost() override { throw 7; }
};

class RefusingSink : public talvik::IHostFrameSink {
public:
    bool OnFrame(talvik::IHostFrame*) override { return false; }
    void OnSignalLost() override {}
};

class RecordingListener : public talvik::IFrameTimeListener {
public:
    void OnFrameTime(uint32_t input, uint64_t time) override {
        if (throwOnFrame) throw std::runtime_error("listener bug");
        times.push_back({input, time});
    }
    void OnListenerSignalLost(uint32_t input) override { lost.push_back(input); }
    bool throwOnFrame = false;
    std::vector<std::pair<uint32_t, uint64_t>> times;
    std::vector<uint32_t> lost;
};

class ChannelTest : public ::testing::Test {
protected:
    void OpenDevice(const std::string& address, uint32_t sensors) {
        talvik_host::DeviceDescription d;
        d.address = address;
        d.port = 80;
        d.model = "AV2155";
        d.videoInputs = sensors;
        device = std::make_unique<talvik_host::HostDevice>(d);
        ASSERT_TRUE(driver.Open(&log, &allocator, device.get()));
        log.Clear();  // the driver-opened notice
    }
    std::unique_ptr<ScriptedChannel> Channel(uint32_t input, talvik::IHostFrameSink* to) {
        return std::make_unique<ScriptedChannel>(input, &driver, to);
    }
    static STREAM_PARAMS Params(uint32_t kind, uint32_t intervalMs = 100) {
        STREAM_PARAMS p;
        p.frameIntervalMs = intervalMs;
        p.width = 640;
        p.height = 480;
        p.quality = 50;
        p.codec = 1;
        p.kind = kind;
        return p;
    }
    static std::vector<std::string> Texts(const std::vector<LogRecord>& records) {
        std::vector<std::string> out;
        for (const LogRecord& r : records)
            out.push_back("[" + std::to_string(r.level) + "] " + r.text);
        return out;
    }

    HostDebugSink log{nullptr};
    talvik_host::HostFrameAllocator allocator;
    std::unique_ptr<talvik_host::HostDevice> device;
    talvik_host::HostFrameSink sink;
    TestDriver driver;
};

// The device name (capitalised or not, with the channel of a multi-sensor
// camera) and the stream kind's suffix in every state message.
TEST_F(ChannelTest, OnlineAndOfflineMessages) {
    const std::string tag = "talvik::CBaseCameraChannel::SetCameraState: ";
    struct Case {
        const char* address;
        uint32_t sensors, input, kind;
        uint32_t status;  // when going offline
        const char* online;
        const char* offline;  // with its level
    } cases[] = {
        {"10.0.0.5", 1, 0, 0, 2, "Camera 10.0.0.5 is online (Rec)",
         "[1] Signal was lost for camera 10.0.0.5 (Rec)"},
        {"10.1.1.7", 2, 1, 1, 2, "Video-server 10.1.1.7 (channel 1) is online (Live)",
         "[1] Signal was lost for video-server 10.1.1.7 (channel 1) (Live)"},
        {"10.0.0.5", 1, 0, 2, 3, "Camera 10.0.0.5 is online (Remote)",
         "[3] Camera 10.0.0.5 is offline. Channel was stopped (Remote)"},
        {"10.0.0.5", 1, 0, 7, 1, "Camera 10.0.0.5 is online ",
         "[1] Camera 10.0.0.5 is offline or failed "},
    };
    for (const Case& c : cases) {
        TestDriver d;
        HostDebugSink records(nullptr);
        talvik_host::DeviceDescription desc;
        desc.address = c.address;
        desc.videoInputs = c.sensors;
        talvik_host::HostDevice host(desc);
        ASSERT_TRUE(d.Open(&records, nullptr, &host));
        ScriptedChannel channel(c.input, &d, &sink);
        const STREAM_PARAMS params = Params(c.kind);
        ASSERT_TRUE(channel.Start(&params));
        channel.SetCameraState(true);
        channel.SetCameraState(true);  // unchanged: no second line
        channel.SetStatus(c.status);
        channel.SetCameraState(false);
        channel.SetCameraState(false);
        channel.Stop();  // already offline: nothing more
        const std::string offline = c.offline;
        const std::vector<std::string> lines = {"[3] " + tag + c.online,
                                                offline.substr(0, 4) + tag + offline.substr(4)};
        EXPECT_EQ(Texts(records.Records()), lines) << c.address << " kind " << c.kind;
    }
}

TEST_F(ChannelTest, StartOnARunningChannelStopsItFirst) {
    OpenDevice("10.0.0.5", 1);
    auto channel = Channel(0, &sink);
    STREAM_PARAMS first = Params(0, 100);
    ASSERT_TRUE(channel->Start(&first));
    ASSERT_TRUE(channel->started.Wait(kWaitMs));
    channel->SetStatus(talvik::kChannelStreaming);
    channel->SetCameraState(true);
    STREAM_PARAMS second = Params(0, 250);
    ASSERT_TRUE(channel->Start(&second));
    ASSERT_TRUE(channel->started.Wait(kWaitMs));
    EXPECT_EQ(channel->runs.load(), 2);
    EXPECT_EQ(channel->Params().frameIntervalMs, 250u);
    EXPECT_EQ(Texts(log.Records()),
              (std::vector<std::string>{
                  "[3] talvik::CBaseCameraChannel::SetCameraState: Camera 10.0.0.5 is online (Rec)",
                  "[3] talvik::CBaseCameraChannel::SetCameraState: Camera 10.0.0.5 is offline. "
                  "Channel was stopped (Rec)"}));
}

TEST_F(ChannelTest, StopEndsWithStatusStoppedWhateverTheBodySaid) {
    OpenDevice("10.0.0.5", 1);
    auto channel = Channel(0, &sink);
    talvik::CEvent stopping;
    channel->body = [&](ScriptedChannel& self) {
        self.SetStatus(talvik::kChannelStreaming);
        self.SetCameraState(true);
        self.StopEvent().Wait(talvik::kInfinite);
        // A late frame after the stop began.
        self.SetStatus(talvik::kChannelStreaming);
        self.SetCameraState(true);
    };
    STREAM_PARAMS params = Params(1);
    ASSERT_TRUE(channel->Start(&params));
    ASSERT_TRUE(channel->started.Wait(kWaitMs));
    channel->Stop();
    EXPECT_EQ(channel->GetStatus(), talvik::kChannelStopped);
    EXPECT_FALSE(channel->IsCameraOnline());
    const std::vector<std::string> texts = Texts(log.Records());
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.back(),
              "[3] talvik::CBaseCameraChannel::SetCameraState: Camera 10.0.0.5 is offline. "
              "Channel was stopped (Live)");
}

TEST_F(ChannelTest, ThrowingSinkIsLoggedPerFrameAndTheBodyGoesOn) {
    OpenDevice("10.0.0.5", 1);
    ThrowingSink throwing;
    auto channel = Channel(0, &throwing);
    talvik_host::HostFrame frame(talvik::kFourCCJpeg, 16, "s");
    std::vector<bool> results;
    talvik::CEvent done;
    channel->body = [&](ScriptedChannel& self) {
        results.push_back(self.SendFrameCallback(&frame));
        results.push_back(self.SendFrameCallback(&frame));
        self.SendSignalLost();
        done.Set();
        self.StopEvent().Wait(talvik::kInfinite);
    };
    STREAM_PARAMS params = Params(0);
    ASSERT_TRUE(channel->Start(&params));
    ASSERT_TRUE(done.Wait(kWaitMs));
    channel->Stop();
    EXPECT_EQ(results, (std::vector<bool>{false, false}));
    const std::string frameLine =
        "[1] talvik::CBaseCameraChannel::SendFrameCallback(): Unexpected exception, device "
        "10.0.0.5:80";
    EXPECT_EQ(Texts(log.Records()),
              (std::vector<std::string>{frameLine, frameLine,
                                        "[1] talvik::CBaseCameraChannel::SendSignalLost(): "
                                        "Unexpected exception, device 10.0.0.5:80"}));
}

TEST_F(ChannelTest, FrameDeliveryResults) {
    OpenDevice("10.0.0.5", 1);
    RefusingSink refusing;
    talvik_host::HostFrame frame(talvik::kFourCCJpeg, 16, "s");
    struct Case {
        talvik::IHostFrameSink* to;
        bool paused;
        bool withFrame;
        bool result;
        uint64_t delivered;
    } cases[] = {
        {&sink, false, true, true, 1},      {&sink, false, false, false, 0},
        {&sink, true, true, true, 0},       {&sink, true, false, true, 0},
        {&refusing, false, true, false, 0}, {nullptr, false, true, false, 0},
        {nullptr, true, true, true, 0},
    };
    for (const Case& c : cases) {
        talvik_host::HostFrameSink counting;
        talvik::IHostFrameSink* to = c.to == &sink ? &counting : c.to;
        ScriptedChannel channel(0, &driver, to);
        channel.SetPaused(c.paused);
        EXPECT_EQ(channel.SendFrameCallback(c.withFrame ? &frame : nullptr), c.result)
            << "paused " << c.paused << " frame " << c.withFrame;
        EXPECT_EQ(counting.FrameCount(), c.delivered);
    }
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(ChannelTest, FrameTimeListener) {
    OpenDevice("10.0.0.5", 1);
    RecordingListener listener;
    ScriptedChannel channel(0, &driver, &sink);
    channel.SetFrameTimeListener(&listener);
    talvik_host::HostFrame frame(talvik::kFourCCJpeg, 16, "s");
    const talvik::HostSystemTime t{2020, 1, 0, 2, 3, 4, 5, 678};
    frame.SetTime(&t);
    const uint64_t expected = talvik::SystemTimeToTime(t);
    ASSERT_NE(expected, 0u);

    EXPECT_TRUE(channel.SendFrameCallback(&frame));
    channel.SetPaused(true);
    EXPECT_TRUE(channel.SendFrameCallback(&frame));
    ASSERT_EQ(listener.times.size(), 2u);
    EXPECT_EQ(listener.times[0], std::make_pair(0u, expected));
    EXPECT_EQ(sink.FrameCount(), 1u) << "paused: only the listener hears of it";

    channel.SendSignalLost();
    EXPECT_EQ(sink.SignalLostCount(), 1u);
    EXPECT_EQ(listener.lost, std::vector<uint32_t>{0});

    listener.throwOnFrame = true;
    channel.SetPaused(false);
    EXPECT_TRUE(channel.SendFrameCallback(&frame)) << "a listener failure does not count";
    EXPECT_EQ(Texts(log.Records()),
              (std::vector<std::string>{"[1] talvik::CBaseCameraChannel::Notify_SendFrameCallback: "
                                        "Unhandled exception in driver instance for device "
                                        "10.0.0.5:80"}));
}

TEST_F(ChannelTest, PendingParameters) {
    OpenDevice("10.0.0.5", 1);
    auto channel = Channel(0, &sink);
    STREAM_PARAMS params = Params(0, 100);
    ASSERT_TRUE(channel->Start(&params));
    ASSERT_TRUE(channel->started.Wait(kWaitMs));
    struct Case {
        uint32_t interval, width, height, bits;
    } cases[] = {
        {100, 640, 480, 0}, {200, 640, 480, 1},  {200, 800, 480, 2},
        {200, 800, 600, 2}, {300, 1024, 768, 3},
    };
    for (const Case& c : cases) {
        talvik::STREAM_UPDATE update;
        update.frameIntervalMs = c.interval;
        update.width = c.width;
        update.height = c.height;
        EXPECT_TRUE(channel->UpdateStreamParams(update));
        EXPECT_TRUE(channel->ParamsChangedEvent().Wait(0));
        EXPECT_EQ(channel->TakePendingParams(), c.bits) << c.interval << " " << c.width;
        EXPECT_EQ(channel->Params().frameIntervalMs, c.interval);
        EXPECT_EQ(channel->Params().width, c.width);
        EXPECT_EQ(channel->Params().height, c.height);
    }
    EXPECT_EQ(channel->TakePendingParams(), 0u);
    EXPECT_FALSE(channel->Pause());
    EXPECT_FALSE(channel->Resume());
}

TEST_F(ChannelTest, BodyThatIgnoresStopIsTerminatedAfterTwiceTheTimeout) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not model thread cancellation";
#endif
    OpenDevice("10.0.0.5", 1);
    driver.MutableDeviceInfo().timeoutMs = 100;
    auto channel = Channel(0, &sink);
    std::atomic<bool> finishedNormally{false};
    channel->body = [&](ScriptedChannel&) {
        for (int i = 0; i < 60000; ++i)
            usleep(1000);  // a cancellation point
        finishedNormally = true;
    };
    STREAM_PARAMS params = Params(0);
    ASSERT_TRUE(channel->Start(&params));
    ASSERT_TRUE(channel->started.Wait(kWaitMs));
    channel->Stop();
    EXPECT_FALSE(finishedNormally.load());
    EXPECT_EQ(Texts(log.Records()),
              (std::vector<std::string>{"[2] talvik::CBaseCameraChannel::StopThread: Video capture "
                                        "thread for camera 10.0.0.5 cannot be stopped and will be "
                                        "terminated now"}));
    // The channel can run again.
    channel->body = nullptr;
    ASSERT_TRUE(channel->Start(&params));
    ASSERT_TRUE(channel->started.Wait(kWaitMs));
}

TEST_F(ChannelTest, StopFromTheCaptureThreadDoesNotWaitForItself) {
    OpenDevice("10.0.0.5", 1);
    auto channel = Channel(0, &sink);
    talvik::CEvent returned;
    channel->body = [&](ScriptedChannel& self) {
        self.Stop();
        returned.Set();
    };
    STREAM_PARAMS params = Params(0);
    ASSERT_TRUE(channel->Start(&params));
    ASSERT_TRUE(returned.Wait(kWaitMs));
    channel->Stop();  // joins the ended thread
    EXPECT_TRUE(log.Records().empty());
}

}  // namespace

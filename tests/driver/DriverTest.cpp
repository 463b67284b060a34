#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DriverRig.h"
#include "HostObjects.h"
#include "base/Text.h"
#include "channels/CameraChannel.h"
#include "driver/ArecontIPCaptureDriver.h"
#include "driver/IPVideoCapture.h"
#include "talvik/Abi.h"
#include "talvik/CaptureIO.h"

using talvik::ChannelKind;
using talvik_host::DeviceDescription;
using talvik_host::HostDebugSink;
using talvik_host::HostDevice;
using talvik_host::LogRecord;

namespace {

DeviceDescription Device() {
    DeviceDescription d;
    d.address = "10.0.0.5";
    d.port = 80;
    d.userName = "admin";
    d.password = "secret";
    d.model = "AV2155";
    d.videoInputs = 1;
    d.digitalInputs = 1;
    d.digitalOutputs = 2;
    d.defaultCodec = 3;
    return d;
}

// Records which channel class the driver chose; builds one only when it is
// given `names` to write into.
class TestDriver : public talvik::CArecontIPCaptureDriver {
public:
    std::vector<ChannelKind> chosen;
    std::vector<std::string>* names = nullptr;

protected:
    talvik::ICameraChannel* NewChannel(ChannelKind kind, uint32_t,
                                       talvik::IHostFrameSink*) override {
        chosen.push_back(kind);
        if (names == nullptr) return nullptr;
        // Like a real channel, it still talks to the driver while stopping.
        static talvik_driver_test::Journal journal;  // outlives the driver's members
        auto* channel = new talvik_driver_test::FakeChannel(1, &journal, true);
        // Through the driver's interface: at the stop in the driver's
        // destructor, this class's part is already gone.
        channel->onStop = [names = names, driver = static_cast<talvik::IDriver*>(this)] {
            names->push_back(driver->GetDriverName());
        };
        return channel;
    }
};

struct Opened {
    explicit Opened(DeviceDescription d) : device(std::move(d)) {
        opened = driver.Open(&sink, &allocator, &device);
    }
    HostDebugSink sink{nullptr};
    talvik_host::HostFrameAllocator allocator;
    HostDevice device;
    TestDriver driver;
    bool opened = false;
};

// The host's parameter texts and the integers read from them: "(none)" is no
// text; an integer is the whole text, within 32 bits. Parameter 1 is read
// as an integer, 7 is a flag only when it reads as 1.
TEST(DriverParameters, TextsAndStrictIntegers) {
    const int32_t kNo = talvik::kNoParameterValue;
    // clang-format off
    const std::vector<std::pair<std::string, int32_t>> cases = {  // parameter n at [n - 1]
        {"-7", -7}, {"(none)", kNo}, {"12a", kNo}, {"+", kNo}, {"", kNo}, {"65", 65}, {"+1", 1},
        {"+5", 5}, {" 5", kNo}, {"5 ", kNo}, {"0x10", kNo}, {"-", kNo}, {"2147483647", INT32_MAX},
        {"2147483648", kNo}, {"-2147483648", INT32_MIN}, {"99999999999999999999", kNo}};
    // clang-format on
    DeviceDescription d = Device();
    for (size_t i = 0; i < cases.size(); ++i)
        d.parameters[uint32_t(i + 1)] = cases[i].first;
    Opened o(d);
    ASSERT_TRUE(o.opened);
    for (uint32_t n = 1; n <= cases.size() + 1; ++n) {
        const bool set = n <= cases.size() && cases[n - 1].first != "(none)";
        EXPECT_EQ(o.driver.GetParameterString(n), set ? cases[n - 1].first : "") << n;
        EXPECT_EQ(o.driver.GetParameterInt(n), n <= cases.size() ? cases[n - 1].second : kNo) << n;
    }
    EXPECT_EQ(o.driver.GetParameterOneValue(), -7);
    EXPECT_TRUE(o.driver.GetParameterSevenFlag());
    for (const char* seven : {"2", "(none)"}) {
        d.parameters = {{7, seven}};
        Opened other(d);
        EXPECT_FALSE(other.driver.GetParameterSevenFlag()) << seven;
        EXPECT_EQ(other.driver.GetParameterOneValue(), 0) << "1 reads as (none): default kept";
    }
}

// A host device whose parameters come from `parameter` (counting the calls)
// and which may lack its camera information.
class ScriptedDevice : public HostDevice {
public:
    ScriptedDevice(std::function<const char*(uint32_t)> parameter, bool cameraInfo = true)
        : HostDevice(Device()), parameter_(std::move(parameter)), cameraInfo_(cameraInfo) {}
    const char* GetParameter(uint32_t n) override {
        ++asked;
        return parameter_(n);
    }
    talvik::IHostCameraInfo* GetCameraInfo() override {
        return cameraInfo_ ? HostDevice::GetCameraInfo() : nullptr;
    }
    int asked = 0;

private:
    std::function<const char*(uint32_t)> parameter_;
    bool cameraInfo_;
};

// A hole at 1 (against the dense-from-1 rule) leaves no parameter; an
// endless list is cut after 1024.
TEST(DriverParameters, HoleAtOneAndEndlessList) {
    HostDebugSink sink(nullptr);
    ScriptedDevice holed([](uint32_t n) { return n == 1 ? nullptr : "5"; });
    ScriptedDevice endless([](uint32_t) { return "x"; });
    TestDriver a, b;
    ASSERT_TRUE(a.Open(&sink, nullptr, &holed));
    ASSERT_TRUE(b.Open(&sink, nullptr, &endless));
    EXPECT_EQ(holed.asked, 1);
    EXPECT_EQ(a.GetParameterString(2), "");
    EXPECT_EQ(a.GetParameterInt(2), talvik::kNoParameterValue);
    EXPECT_EQ(b.GetParameterString(1024), "x");
    EXPECT_EQ(b.GetParameterString(1025), "");
}

TEST(DriverOpen, ComponentsLiveFromOpenToClose) {
    TestDriver fresh;
    EXPECT_FALSE(fresh.Open(nullptr, nullptr, nullptr)) << "no device";
    fresh.DebugMessage(1, "%s", "no sink yet");  // must not crash
    Opened o(Device());
    ASSERT_TRUE(o.opened);
    talvik::ipcapture::IIPCaptureDriverEx5& host = o.driver;
    ASSERT_NE(host.GetVideoCapture(), nullptr);
    EXPECT_EQ(host.GetVideoCapture(), host.GetVideoCaptureEx2());
    ASSERT_NE(host.GetDigitalIO(), nullptr);
    EXPECT_EQ(host.GetDigitalIO()->GetOutputCount(), 2u);
    host.Close();
    EXPECT_EQ(host.GetVideoCapture(), nullptr);
    host.Close();  // twice is harmless
}

TEST(DriverOpen, HostFailuresBecomeFalse) {
    HostDebugSink sink(nullptr);
    ScriptedDevice throwing([](uint32_t) -> const char* { throw std::runtime_error("host bug"); });
    TestDriver a;
    EXPECT_FALSE(a.Open(&sink, nullptr, &throwing));

    ScriptedDevice incomplete([](uint32_t) { return nullptr; }, false);
    TestDriver b;
    EXPECT_FALSE(b.Open(&sink, nullptr, &incomplete));
    EXPECT_EQ(b.GetVideoCapture(), nullptr);
}

TEST(DriverOpen, OpenedNotice) {
    for (const auto& c : talvik_driver_test::Rows("opened_notice.txt")) {
        DeviceDescription d = Device();
        d.model = c[0];
        if (c[1] != "-") d.parameters = {{6, c[1]}};
        Opened o(d);
        ASSERT_TRUE(o.opened);
        std::vector<std::string> lines;
        for (const LogRecord& r : o.sink.Records())
            lines.push_back(std::to_string(r.level) + " " + r.text);
        // Level 3: no host core library in the test process reads as 5.12.
        EXPECT_EQ(lines, c[2].empty() ? std::vector<std::string>{}
                                      : std::vector<std::string>{
                                            "3 DRIVER IS OPENED (name: talvik_arecont, device "
                                            "model: " +
                                            c[2]});
    }
}

// Rows of data/channel_choice.txt.
TEST(DriverChannels, ChoiceByCodecAndInterval) {
    using talvik_driver_test::U;
    for (const auto& c : talvik_driver_test::Rows("channel_choice.txt")) {
        DeviceDescription d = Device();
        d.defaultCodec = U(c[0]);
        Opened o(d);
        talvik_host::HostFrameSink sink;
        talvik::STREAM_PARAMS params;
        params.codec = U(c[1]);
        params.frameIntervalMs = U(c[2]);
        EXPECT_EQ(o.driver.CreateVideoChannel(0, c[5] == "1" ? &sink : nullptr, &params), nullptr);
        EXPECT_EQ(params.codec, U(c[3]));
        const std::vector<ChannelKind> chosen = {c[4] == "J"   ? ChannelKind::kJpegHttp
                                                 : c[4] == "H" ? ChannelKind::kH264Http
                                                               : ChannelKind::kH264Rtsp};
        EXPECT_EQ(o.driver.chosen, c[4] == "-" ? std::vector<ChannelKind>{} : chosen)
            << c[1] << " " << c[2];
    }
}

TEST(DriverChannels, MissingChannelClassFailsTheStartCleanly) {
    Opened o(Device());
    talvik_host::HostFrameSink sink;
    talvik_host::StreamRequest request;
    request.codec = 1;
    talvik_host::HostStreamSettings settings(request);
    talvik::ipcapture::IIPVideoCaptureEx2* video = o.driver.GetVideoCaptureEx2();
    EXPECT_FALSE(video->StartVideo(0, &sink, &settings));
    EXPECT_FALSE(video->StartStream(0, 1, &sink, &settings));
    EXPECT_FALSE(video->StopVideo(0)) << "nothing was filed";
    uint32_t status = 9;
    EXPECT_FALSE(video->GetVideoStatus(0, &status, nullptr, nullptr, 0));
    EXPECT_EQ(o.driver.chosen,
              (std::vector<ChannelKind>{ChannelKind::kJpegHttp, ChannelKind::kJpegHttp}));
}

TEST(DriverLifetime, DeletionStopsChannelsWhileTheDriverIsWhole) {
    std::vector<std::string> names;
    HostDebugSink sink(nullptr);
    HostDevice device(Device());
    talvik_host::HostFrameSink frames;
    TestDriver* test = new TestDriver;
    test->names = &names;
    talvik::ipcapture::IIPCaptureDriver* driver = test;
    ASSERT_TRUE(driver->Open(&sink, nullptr, &device));
    talvik_host::StreamRequest request;
    request.codec = 1;
    talvik_host::HostStreamSettings settings(request);
    ASSERT_TRUE(driver->GetVideoCapture()->StartVideo(0, &frames, &settings));
    talvik::DeleteThroughSlot0(driver);  // as the delete exports do
    EXPECT_EQ(names, std::vector<std::string>{"talvik_arecont"});
}

// Eight threads log through one driver into one sink at once: every line
// arrives whole and exactly once; level 4 never reaches the host.
TEST(DriverLogging, ConcurrentMessagesAllArriveIntact) {
    Opened o(Device());
    o.sink.Clear();
    constexpr int kThreads = 8;
    constexpr int kPerThread = 200;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i)
                o.driver.DebugMessage(i % 2   ? 1
                                      : i % 3 ? 3
                                              : 4,
                                      "%s: thread %d message %d of device %s", "talvik::Test::Run",
                                      t, i, o.driver.GetSourceName().c_str());
        });
    }
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    std::multiset<std::string> expected, seen;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            if (i % 2 || i % 3)
                expected.insert(talvik::FormatString(
                    "%d talvik::Test::Run: thread %d message %d of device 10.0.0.5:80",
                    i % 2 ? 1 : 3, t, i));
    for (const LogRecord& r : o.sink.Records())
        seen.insert(std::to_string(r.level) + " " + r.text);
    EXPECT_EQ(seen, expected);
}

}  // namespace

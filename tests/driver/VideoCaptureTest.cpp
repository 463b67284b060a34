#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HostObjects.h"
#include "base/FrameContract.h"
#include "channels/CameraChannel.h"
#include "driver/ArecontIPCaptureDriver.h"
#include "driver/IPVideoCapture.h"

using talvik::ChannelKind;
using talvik::STREAM_PARAMS;
using talvik_host::HostFrameSink;
using talvik_host::HostStreamSettings;
using talvik_host::StreamRequest;

namespace {

// Every call of every fake channel, in order, as text.
using Journal = std::vector<std::string>;

class FakeChannel : public talvik::ICameraChannel {
public:
    FakeChannel(int id, Journal* journal, bool startResult)
        : id_(id), journal_(journal), startResult_(startResult) {}
    ~FakeChannel() override { Note("destroyed"); }

    void ApplyHostOption(uint32_t option) override { Note("option " + std::to_string(option)); }
    bool Start(const STREAM_PARAMS* p) override {
        params = *p;
        Note("start");
        return startResult_;
    }
    void Stop() override { Note("stop"); }
    bool UpdateStreamParams(const talvik::STREAM_UPDATE& u) override {
        Note("update " + std::to_string(u.frameIntervalMs) + " " + std::to_string(u.width) + "x" +
             std::to_string(u.height));
        return true;
    }
    bool Pause() override {
        Note("pause");
        return true;
    }
    bool Resume() override {
        Note("resume");
        return true;
    }
    uint32_t GetStatus() override { return status; }
    void Run() override {}
    void OnStopping() override {}
    uint32_t GetVideoInput() override { return 0; }
    talvik::IHostFrameSink* GetFrameSink() override { return nullptr; }
    void SetFrameTimeListener(talvik::IFrameTimeListener*) override {}

    STREAM_PARAMS params;
    uint32_t status = talvik::kChannelStreaming;

private:
    void Note(const std::string& what) {
        journal_->push_back("#" + std::to_string(id_) + " " + what);
    }
    int id_;
    Journal* journal_;
    bool startResult_;
};

class FakeAuxiliary : public talvik::IAuxiliaryChannel {
public:
    FakeAuxiliary(Journal* journal, bool result) : journal_(journal), result_(result) {}
    ~FakeAuxiliary() override { journal_->push_back("aux destroyed"); }
    bool Start() override {
        journal_->push_back("aux start");
        return result_;
    }
    void Stop() override { journal_->push_back("aux stop"); }

private:
    Journal* journal_;
    bool result_;
};

// The driver with the channel classes replaced by fakes.
class FakeChannelDriver : public talvik::CArecontIPCaptureDriver {
public:
    Journal journal;
    std::vector<ChannelKind> kinds;
    std::vector<FakeChannel*> made;
    bool makeChannels = true;
    bool startResult = true;
    bool makeAuxiliary = false;
    bool auxiliaryResult = true;

    // The fakes write into the journal while they are destroyed.
    ~FakeChannelDriver() override { Close(); }

    talvik::IAuxiliaryChannel* CreateAuxiliaryChannel(uint32_t, talvik::IHostFrameSink*) override {
        if (!makeAuxiliary) return nullptr;
        journal.push_back("aux created");
        return new FakeAuxiliary(&journal, auxiliaryResult);
    }

protected:
    talvik::ICameraChannel* NewChannel(ChannelKind kind, uint32_t input,
                                       talvik::IHostFrameSink*) override {
        kinds.push_back(kind);
        if (!makeChannels) return nullptr;
        const int id = int(made.size()) + 1;
        journal.push_back("#" + std::to_string(id) + " created for input " + std::to_string(input));
        made.push_back(new FakeChannel(id, &journal, startResult));
        return made.back();
    }
};

class VideoCaptureTest : public ::testing::Test {
protected:
    void Open(uint32_t inputs = 2) {
        talvik_host::DeviceDescription d;
        d.address = "10.0.0.5";
        d.model = "AV2155";
        d.videoInputs = inputs;
        d.defaultCodec = 3;
        device = std::make_unique<talvik_host::HostDevice>(d);
        ASSERT_TRUE(driver.Open(&debug, &allocator, device.get()));
        video = driver.GetVideoCaptureEx2();
    }
    static StreamRequest Request(uint32_t codec, uint32_t interval) {
        StreamRequest r;
        r.codec = codec;
        r.frameInterval = interval;
        r.width = 1920;
        r.height = 1080;
        r.quality = 80;
        r.hostOption = 42;
        return r;
    }

    talvik_host::HostDebugSink debug{nullptr};
    talvik_host::HostFrameAllocator allocator;
    std::unique_ptr<talvik_host::HostDevice> device;
    HostFrameSink sink;
    FakeChannelDriver driver;
    talvik::ipcapture::IIPVideoCaptureEx2* video = nullptr;
};

// Codec 0 stands for the device's default codec (3 here).
TEST_F(VideoCaptureTest, EncodedIntervalInStartVideoPlainInStartStream) {
    Open();
    HostStreamSettings settings(Request(0, 0x4005));
    ASSERT_TRUE(video->StartVideo(0, &sink, &settings));
    ASSERT_TRUE(video->StartStream(1, 1, &sink, &settings));
    ASSERT_EQ(driver.made.size(), 2u);
    EXPECT_EQ(driver.made[0]->params.frameIntervalMs, 5000u);
    EXPECT_EQ(driver.made[1]->params.frameIntervalMs, 16389u);
    // 16389 ms is slower than one frame per second as well.
    EXPECT_EQ(driver.kinds,
              (std::vector<ChannelKind>{ChannelKind::kH264Http, ChannelKind::kH264Http}));
    const STREAM_PARAMS& p = driver.made[0]->params;
    EXPECT_EQ(p.width, 1920u);
    EXPECT_EQ(p.height, 1080u);
    EXPECT_EQ(p.quality, 80u);
    EXPECT_EQ(p.codec, 3u);
    EXPECT_EQ(p.kind, 0u);
    EXPECT_EQ(driver.made[1]->params.kind, 1u);
    EXPECT_EQ(driver.made[1]->params.codec, 3u);
    EXPECT_EQ(driver.journal[1], "#1 option 42") << "host option before the start";
}

TEST_F(VideoCaptureTest, RestartStopsTheFirstChannelBeforeCreatingTheSecond) {
    Open();
    HostStreamSettings settings(Request(1, 200));
    ASSERT_TRUE(video->StartVideo(0, &sink, &settings));
    ASSERT_TRUE(video->StartVideo(0, &sink, &settings));
    EXPECT_EQ(driver.journal,
              (Journal{"#1 created for input 0", "#1 option 42", "#1 start", "#1 stop",
                       "#1 destroyed", "#2 created for input 0", "#2 option 42", "#2 start"}));
}

TEST_F(VideoCaptureTest, FailedStartIsFiledSoThatStopReleasesIt) {
    Open();
    driver.startResult = false;
    HostStreamSettings settings(Request(1, 200));
    EXPECT_FALSE(video->StartVideo(0, &sink, &settings));
    EXPECT_FALSE(video->StartStream(0, 2, &sink, &settings));
    EXPECT_TRUE(video->StopVideo(0));
    EXPECT_EQ(driver.journal.back(), "#1 destroyed") << "remote first, recording last";
    EXPECT_FALSE(video->StopVideo(0)) << "nothing left";
}

TEST_F(VideoCaptureTest, OutOfRangeInputsAndKinds) {
    Open(2);
    HostStreamSettings settings(Request(1, 200));
    EXPECT_FALSE(video->StartVideo(2, &sink, &settings));
    EXPECT_FALSE(video->StartStream(2, 0, &sink, &settings));
    for (uint32_t kind : {3u, 4u, 5u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(video->StartStream(0, kind, &sink, &settings)) << kind;
        EXPECT_FALSE(video->StopStream(0, kind)) << kind;
    }
    EXPECT_FALSE(video->StopVideo(2));
    EXPECT_FALSE(video->StopStream(2, 0));
    HostStreamSettings* none = nullptr;
    EXPECT_FALSE(video->StartVideo(0, &sink, none));
    EXPECT_TRUE(driver.made.empty());
}

TEST_F(VideoCaptureTest, StopStreamStopsOnlyItsKind) {
    Open();
    HostStreamSettings settings(Request(1, 200));
    for (uint32_t kind : {0u, 1u, 2u})
        ASSERT_TRUE(video->StartStream(1, kind, &sink, &settings));
    EXPECT_TRUE(video->StopStream(1, 1));
    EXPECT_FALSE(video->StopStream(1, 1));
    EXPECT_FALSE(video->StopStream(0, 0));
    EXPECT_EQ(driver.journal.back(), "#2 destroyed");
    driver.journal.clear();
    EXPECT_TRUE(video->StopVideo(1));
    EXPECT_EQ(driver.journal, (Journal{"#3 stop", "#3 destroyed", "#1 stop", "#1 destroyed"}));
}

TEST_F(VideoCaptureTest, StatusOfTheRecordingChannel) {
    Open();
    uint32_t status = 99, second = 99;
    char text[8] = "xyz";
    EXPECT_FALSE(video->GetVideoStatus(0, &status, &second, text, sizeof(text)));
    HostStreamSettings settings(Request(1, 200));
    ASSERT_TRUE(video->StartVideo(0, &sink, &settings));
    struct Case {
        uint32_t channel;
        uint32_t host;
    } cases[] = {{0, 0}, {2, 2}, {3, 2}, {1, 1}, {7, 7}};
    for (const Case& c : cases) {
        driver.made[0]->status = c.channel;
        second = 99;
        text[0] = 'x';
        ASSERT_TRUE(video->GetVideoStatus(0, &status, &second, text, sizeof(text)));
        EXPECT_EQ(status, c.host) << c.channel;
        EXPECT_EQ(second, 0u);
        EXPECT_STREQ(text, "");
    }
    text[0] = 'x';
    ASSERT_TRUE(video->GetVideoStatus(0, &status, &second, text, 0));
    EXPECT_EQ(text[0], 'x') << "a zero size leaves the buffer alone";
    EXPECT_FALSE(video->GetVideoStatus(1, &status, &second, text, sizeof(text)));
}

TEST_F(VideoCaptureTest, UpdatePauseResumeGoToTheRecordingChannel) {
    Open();
    talvik_host::HostFrameSize size(0x10280, 0x201E0);  // only 16 bits count
    EXPECT_FALSE(video->UpdateVideo(0, &size, 500));
    EXPECT_FALSE(video->PauseVideo(0));
    EXPECT_FALSE(video->ResumeVideo(0));
    HostStreamSettings settings(Request(1, 200));
    ASSERT_TRUE(video->StartStream(0, 1, &sink, &settings));
    EXPECT_FALSE(video->PauseVideo(0)) << "a live stream is not the recording stream";
    ASSERT_TRUE(video->StartVideo(0, &sink, &settings));
    driver.journal.clear();
    EXPECT_TRUE(video->UpdateVideo(0, &size, 500));
    EXPECT_TRUE(video->PauseVideo(0));
    EXPECT_TRUE(video->ResumeVideo(0));
    EXPECT_FALSE(video->UpdateVideo(0, nullptr, 500));
    EXPECT_EQ(driver.journal, (Journal{"#2 update 500 640x480", "#2 pause", "#2 resume"}));
}

TEST_F(VideoCaptureTest, AuxiliaryChannelOnRequest) {
    Open();
    driver.makeAuxiliary = true;
    driver.auxiliaryResult = false;
    StreamRequest request = Request(1, 200);
    HostStreamSettings plain(request);
    ASSERT_TRUE(video->StartVideo(0, &sink, &plain));
    EXPECT_EQ(driver.journal.size(), 3u) << "no auxiliary unless asked for";
    request.auxiliary = 1;
    HostStreamSettings withAux(request);
    EXPECT_FALSE(video->StartVideo(0, &sink, &withAux)) << "the auxiliary start decides";
    driver.journal.clear();
    EXPECT_TRUE(video->StopVideo(0));
    EXPECT_EQ(driver.journal, (Journal{"aux stop", "aux destroyed", "#2 stop", "#2 destroyed"}));
}

TEST_F(VideoCaptureTest, CloseStopsEveryChannel) {
    Open();
    HostStreamSettings settings(Request(1, 200));
    ASSERT_TRUE(video->StartVideo(0, &sink, &settings));
    ASSERT_TRUE(video->StartStream(1, 2, &sink, &settings));
    driver.journal.clear();
    driver.Close();
    EXPECT_EQ(driver.journal, (Journal{"#1 stop", "#1 destroyed", "#2 stop", "#2 destroyed"}));
}

TEST_F(VideoCaptureTest, SecondOpenReleasesTheFirstComponents) {
    Open();
    HostStreamSettings settings(Request(1, 200));
    ASSERT_TRUE(video->StartVideo(0, &sink, &settings));
    driver.journal.clear();
    ASSERT_TRUE(driver.Open(&debug, &allocator, device.get()));
    EXPECT_EQ(driver.journal, (Journal{"#1 stop", "#1 destroyed"}));
}

TEST(FrameContract, ResolutionClass) {
    struct Case {
        uint32_t w, h, cls;
    } cases[] = {
        {199, 1000, 1}, {200, 10, 2},   {399, 100, 2}, {400, 199, 3},         {400, 200, 4},
        {1023, 100, 3}, {1024, 100, 4}, {0, 0, 1},     {800, 0xFFFFFFFFu, 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(talvik::ResolutionClass(c.w, c.h), c.cls) << c.w << "x" << c.h;
}

TEST(FrameContract, EncodedFrameInterval) {
    struct Case {
        uint16_t encoded;
        uint32_t ms;
    } cases[] = {
        {0x0000, 0},           {0x0005, 5},           {0x3FFF, 16383},
        {0x4005, 5000},        {0x8002, 120000},      {0xC001, 3600000},
        {0xC4A9, 4294800000u}, {0xC4AA, 0xFFFFFFFFu}, {0xFFFF, 0xFFFFFFFFu},
    };
    for (const Case& c : cases)
        EXPECT_EQ(talvik::DecodeFrameInterval(c.encoded), c.ms) << c.encoded;
}

// The stream names frames carry to the host.
TEST(FrameContract, StreamNames) {
    EXPECT_EQ(talvik::StreamName("drv", 0), "drv::RecStream");
    EXPECT_EQ(talvik::StreamName("drv", 1), "drv::LiveStream");
    EXPECT_EQ(talvik::StreamName("drv", 2), "drv::RemoteStream");
    EXPECT_EQ(talvik::StreamName("drv", 3), "drv");
}

}  // namespace

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DriverRig.h"
#include "HostObjects.h"
#include "base/FrameContract.h"
#include "channels/CameraChannel.h"
#include "driver/ArecontIPCaptureDriver.h"
#include "driver/IPVideoCapture.h"
#include "support/TestFiles.h"

using talvik::ChannelKind;
using talvik::STREAM_PARAMS;
using talvik_host::HostFrameSink;
using talvik_host::HostStreamSettings;
using talvik_host::StreamRequest;

namespace {

using talvik_driver_test::FakeChannel;
using talvik_driver_test::Journal;

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
    for (uint32_t i : {0u, 1u}) {
        const STREAM_PARAMS& p = driver.made[i]->params;
        EXPECT_EQ(std::vector<uint32_t>({p.width, p.height, p.quality, p.codec, p.kind}),
                  std::vector<uint32_t>({1920, 1080, 80, 3, i}));
    }
    EXPECT_EQ(driver.journal[1], "#1 option 42") << "host option before the start";
}

// A script of host calls, each journalled with its answer after what the
// channels saw: "V<input>" StartVideo, "S<input>.<kind>" StartStream,
// "v<input>" StopVideo, "s<input>.<kind>" StopStream, "A" StartVideo asking for
// the auxiliary channel, "N" StartVideo without settings, "close", "open";
// "fail" makes later starts fail; kind "x" is 0xFFFFFFFF.
// Only a recording start passes the host option on; a failed start is filed
// so that a stop releases it; the auxiliary channel comes only when asked
// for, and then its start decides.
struct ScriptCase {
    std::string name;
    std::vector<std::string> calls;
    std::string journal;  // one entry a line
};

// data/video_capture_scripts.txt: "<name>: <calls>" and the journal below it.
std::vector<ScriptCase> LoadScripts() {
    std::vector<ScriptCase> cases;
    std::istringstream file(talvik::test::ReadFile(std::string(TALVIK_SOURCE_DIR) +
                                                   "/tests/driver/data/video_capture_scripts.txt"));
    for (std::string line; std::getline(file, line);) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            cases.push_back({line.substr(0, colon), {}, ""});
            std::istringstream calls(line.substr(colon + 2));
            for (std::string call; calls >> call;)
                cases.back().calls.push_back(call);
        } else if (!line.empty() && !cases.empty()) {
            cases.back().journal += line + "\n";
        }
    }
    return cases;
}

void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.name;
}

class VideoCaptureScript : public VideoCaptureTest,
                           public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(VideoCaptureScript, ChannelsCreatedStoppedAndDestroyedInOrder) {
    Open();
    driver.makeAuxiliary = true;
    driver.auxiliaryResult = false;
    for (const std::string& call : GetParam().calls) {
        StreamRequest request = Request(1, 200);
        request.auxiliary = call == "A";
        HostStreamSettings settings(request);
        const uint32_t input = call.size() > 1 ? uint32_t(call[1] - '0') : 0;
        const uint32_t kind = call.size() < 4  ? 0
                              : call[3] == 'x' ? 0xFFFFFFFFu
                                               : uint32_t(call[3] - '0');
        video = driver.GetVideoCaptureEx2();  // a second open makes a new one
        bool ok = true;
        if (call == "close")
            driver.Close();
        else if (call == "open")
            ok = driver.Open(&debug, &allocator, device.get());
        else if (call == "fail")
            driver.startResult = false;
        else if (call == "N")
            ok = video->StartVideo(0, &sink, nullptr);
        else if (call[0] == 'V' || call[0] == 'A')
            ok = video->StartVideo(input, &sink, &settings);
        else if (call[0] == 'S')
            ok = video->StartStream(input, kind, &sink, &settings);
        else if (call[0] == 'v')
            ok = video->StopVideo(input);
        else if (call[0] == 's')
            ok = video->StopStream(input, kind);
        driver.journal.push_back(call + (ok ? " ok" : " refused"));
    }
    std::string journal;
    for (const std::string& entry : driver.journal)
        journal += entry + "\n";
    EXPECT_EQ(journal, GetParam().journal);
}

INSTANTIATE_TEST_SUITE_P(Scripts, VideoCaptureScript, ::testing::ValuesIn(LoadScripts()),
                         [](const auto& info) { return info.param.name; });

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

// Rows of data/frame_contract.txt.
TEST(FrameContract, ResolutionClassIntervalAndStreamName) {
    using talvik_driver_test::U;
    for (const auto& c : talvik_driver_test::Rows("frame_contract.txt")) {
        if (c[0] == "R")
            EXPECT_EQ(talvik::ResolutionClass(U(c[1]), U(c[2])), U(c[3])) << c[1] << "x" << c[2];
        else if (c[0] == "E")
            EXPECT_EQ(talvik::DecodeFrameInterval(uint16_t(U(c[1]))), U(c[2])) << c[1];
        else
            EXPECT_EQ(talvik::StreamName("drv", U(c[1])), c[2]);
    }
}

}  // namespace

// The driver object and its video capture interface, with the channel classes
// replaced by fakes that write every call into one journal.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HostObjects.h"
#include "base/FrameContract.h"
#include "channels/CameraChannel.h"
#include "driver/ArecontIPCaptureDriver.h"
#include "driver/IPVideoCapture.h"
#include "support/TestFiles.h"
#include "talvik/CaptureIO.h"

using talvik_host::DeviceDescription;
using talvik_host::HostDevice;
using talvik_host::LogRecord;

namespace {

std::vector<std::vector<std::string>> Rows(const std::string& name) {
    return talvik::test::DataRows("driver/data/" + name, "|");
}
uint32_t U(const std::string& field) {  // decimal, or hexadecimal after 0x
    return uint32_t(std::stoul(field, nullptr, 0));
}
std::string S(uint32_t n) {
    return std::to_string(n);
}

// Outlives every driver: channels still write into it while a driver goes.
std::vector<std::string> g_journal;

// A channel of the capture, or the auxiliary channel (whose start fails).
class FakeChannel : public talvik::ICameraChannel, public talvik::IAuxiliaryChannel {
public:
    FakeChannel(std::string id, talvik::IDriver* driver, bool startResult)
        : id_(std::move(id)), driver_(driver), startResult_(startResult) {}
    ~FakeChannel() override { Note("destroyed"); }
    void ApplyHostOption(uint32_t option) override { Note("option " + S(option)); }
    bool Start(const talvik::STREAM_PARAMS* p) override {
        Note("start " + S(p->width) + "x" + S(p->height) + " q" + S(p->quality) + " codec " +
             S(p->codec) + " every " + S(p->frameIntervalMs) + " ms kind " + S(p->kind));
        return startResult_;
    }
    bool Start() override { return !Note("start"); }
    // Names the driver through its interface: a stop in the driver's
    // destructor (at the end of every script) must come while it is whole.
    void Stop() override { Note("stop by " + driver_->GetDriverName()); }
    bool UpdateStreamParams(const talvik::STREAM_UPDATE& u) override {
        return Note("update " + S(u.frameIntervalMs) + " " + S(u.width) + "x" + S(u.height));
    }
    bool Pause() override { return Note("pause"); }
    bool Resume() override { return Note("resume"); }
    uint32_t GetStatus() override { return status; }
    void Run() override {}
    void OnStopping() override {}
    uint32_t GetVideoInput() override { return 0; }
    talvik::IHostFrameSink* GetFrameSink() override { return nullptr; }
    void SetFrameTimeListener(talvik::IFrameTimeListener*) override {}

    uint32_t status = talvik::kChannelStreaming;

private:
    bool Note(const std::string& what) {
        g_journal.push_back(id_ + " " + what);
        return true;
    }
    std::string id_;
    talvik::IDriver* driver_;
    bool startResult_;
};

class TestDriver : public talvik::CArecontIPCaptureDriver {
public:
    std::vector<FakeChannel*> made;
    bool makeChannels = true;
    bool startResult = true;

    // What the real channels and the I/O object are given.
    talvik::IDriver* Components() const { return Link(); }

    talvik::IAuxiliaryChannel* CreateAuxiliaryChannel(uint32_t, talvik::IHostFrameSink*) override {
        g_journal.push_back("aux created");
        return new FakeChannel("aux", this, false);
    }

protected:
    talvik::ICameraChannel* NewChannel(talvik::ChannelKind kind, uint32_t input,
                                       talvik::IHostFrameSink*) override {
        if (!makeChannels) return nullptr;
        const std::string id = "#" + S(uint32_t(made.size() + 1));
        g_journal.push_back(id + " created for input " + S(input) + " as " + "-JHR"[int(kind)]);
        made.push_back(new FakeChannel(id, this, startResult));
        return made.back();
    }
};

DeviceDescription Device() {  // two video inputs, one digital input, two outputs, codec 3
    return {"10.0.0.5", 80, "admin", "secret", "AV2155", 2, 1, 2, 3, {}};
}

// A host with its device, log and frame sink, and the driver it opened.
struct Rig {
    Rig() { g_journal.clear(); }
    bool Open(DeviceDescription d = Device()) {
        device = std::make_unique<HostDevice>(d);
        return driver.Open(&debug, &allocator, device.get());
    }
    talvik_host::HostDebugSink debug{nullptr};
    talvik_host::HostFrameAllocator allocator;
    std::unique_ptr<HostDevice> device;
    talvik_host::HostFrameSink sink;
    TestDriver driver;
};

TEST(DriverParameters, TextsAndStrictIntegers) {
    const auto rows = Rows("parameters.txt");
    DeviceDescription d = Device();
    for (size_t i = 0; i < rows.size(); ++i)
        d.parameters[uint32_t(i + 1)] = rows[i][0];
    Rig r;
    ASSERT_TRUE(r.Open(d));
    const int32_t kNo = talvik::kNoParameterValue;
    for (uint32_t n = 1; n <= rows.size() + 1; ++n) {
        const std::string text = n <= rows.size() ? rows[n - 1][0] : "(none)";
        const std::string value = n <= rows.size() ? rows[n - 1][1] : "-";
        EXPECT_EQ(r.driver.GetParameterString(n), text == "(none)" ? "" : text) << n;
        EXPECT_EQ(r.driver.GetParameterInt(n), value == "-" ? kNo : std::stoi(value)) << n;
    }
    EXPECT_EQ(r.driver.GetParameterOneValue(), -7);
    EXPECT_TRUE(r.driver.GetParameterSevenFlag());
    for (const char* seven : {"2", "(none)"}) {
        d.parameters = {{7, seven}};
        Rig other;
        ASSERT_TRUE(other.Open(d));
        EXPECT_FALSE(other.driver.GetParameterSevenFlag()) << seven;
        EXPECT_EQ(other.driver.GetParameterOneValue(), 0) << "1 reads as (none): default kept";
    }
}

// What the components hold outlives the driver: after the host deleted the
// driver and its debug sink, a thread still reads the same record, texts and
// parameters, gets no frame allocator, and its messages go nowhere.
TEST(DriverParameters, ComponentsKeepTheRecordAfterTheDriverGoes) {
    const auto rows = Rows("parameters.txt");
    DeviceDescription d = Device();
    for (size_t i = 0; i < rows.size(); ++i)
        d.parameters[uint32_t(i + 1)] = rows[i][0];
    auto r = std::make_unique<Rig>();
    ASSERT_TRUE(r->Open(d));
    const std::shared_ptr<talvik::IDriver> link = r->driver.Components()->Share();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->GetHostContext(), &r->allocator);
    const size_t logged = r->debug.Records().size();
    link->DebugMessage(talvik::kLevelError, "while open %d", 1);
    ASSERT_EQ(r->debug.Records().size(), logged + 1);
    EXPECT_EQ(r->debug.Records().back().text, "while open 1");
    const talvik::DEVICE_INFO* device = link->GetDeviceInfo();
    const std::string directory = r->driver.GetHostDirectory();
    r.reset();
    std::thread([&] {
        link->DebugMessage(talvik::kLevelError, "after %s", "delete");  // ASan: no sink reached
        EXPECT_EQ(link->GetHostContext(), nullptr);
        EXPECT_EQ(link->GetDeviceInfo(), device);
        EXPECT_EQ(device->address, "10.0.0.5");
        EXPECT_EQ(device->port, 80u);
        EXPECT_EQ(device->userName, "admin");
        EXPECT_EQ(device->password, "secret");
        EXPECT_EQ(device->model, "AV2155");
        EXPECT_EQ(device->timeoutMs, 5000u);
        EXPECT_EQ(device->dataTimeoutMs, 10000u);
        EXPECT_EQ(link->GetSourceName(), "10.0.0.5:80");
        EXPECT_EQ(link->GetDriverName(), "talvik_arecont");
        EXPECT_EQ(link->GetHostDirectory(), directory);
        EXPECT_EQ(link->GetIOCounts(), std::make_pair(1u, 2u));
        EXPECT_EQ(link->GetVideoInputCount(), 2u);
        EXPECT_EQ(link->GetDefaultCodec(), 3u);
        EXPECT_EQ(link->GetParameterOneValue(), -7);
        EXPECT_TRUE(link->GetParameterSevenFlag());
        for (uint32_t n = 1; n <= rows.size() + 1; ++n) {
            const std::string text = n <= rows.size() ? rows[n - 1][0] : "(none)";
            const std::string value = n <= rows.size() ? rows[n - 1][1] : "-";
            EXPECT_EQ(link->GetParameterString(n), text == "(none)" ? "" : text) << n;
            EXPECT_EQ(link->GetParameterInt(n),
                      value == "-" ? talvik::kNoParameterValue : std::stoi(value))
                << n;
        }
    }).join();
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

// A hole at 1 leaves no parameter; an endless list is cut after 1024; a host
// that throws, lacks its camera information or gives no device fails the open.
TEST(DriverOpen, HostDevicesOutOfTheOrdinary) {
    talvik_host::HostDebugSink sink(nullptr);
    ScriptedDevice holed([](uint32_t n) { return n == 1 ? nullptr : "5"; });
    ScriptedDevice endless([](uint32_t) { return "x"; });
    ScriptedDevice throwing([](uint32_t) -> const char* { throw std::runtime_error("host bug"); });
    ScriptedDevice incomplete([](uint32_t) { return nullptr; }, false);
    TestDriver a, b, c, d;
    ASSERT_TRUE(a.Open(&sink, nullptr, &holed));
    ASSERT_TRUE(b.Open(&sink, nullptr, &endless));
    EXPECT_EQ(holed.asked, 1);
    EXPECT_EQ(a.GetParameterString(2), "");
    EXPECT_EQ(a.GetParameterInt(2), talvik::kNoParameterValue);
    EXPECT_EQ(b.GetParameterString(1024), "x");
    EXPECT_EQ(b.GetParameterString(1025), "");
    EXPECT_FALSE(c.Open(&sink, nullptr, &throwing));
    EXPECT_FALSE(c.Open(nullptr, nullptr, nullptr)) << "no device";
    c.DebugMessage(1, "%s", "no sink");  // must not crash
    EXPECT_FALSE(d.Open(&sink, nullptr, &incomplete));
    EXPECT_EQ(d.GetVideoCapture(), nullptr);
}

TEST(DriverOpen, OpenedNotice) {
    for (const auto& c : Rows("opened_notice.txt")) {
        DeviceDescription d = Device();
        d.model = c[0];
        if (c[1] != "-") d.parameters = {{6, c[1]}};
        Rig r;
        ASSERT_TRUE(r.Open(d));
        std::string log;
        for (const LogRecord& record : r.debug.Records())
            log += S(record.level) + " " + record.text + "\n";
        EXPECT_EQ(log, c[2].empty() ? "" : c[2] + "\n");
    }
}

// data/video_capture_scripts.txt: "<name>: <calls>" and the journal below it.
std::vector<std::pair<std::string, std::string>> LoadScripts() {
    std::vector<std::pair<std::string, std::string>> scripts;
    std::istringstream file(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/driver/data/video_capture_scripts.txt"));
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line.compare(0, 2, "# ") == 0) continue;
        if (line.find(": ") == std::string::npos)
            scripts.back().second += line + "\n";
        else
            scripts.push_back({line, ""});
    }
    return scripts;
}

// Each host call is journalled with its answer after what the channels saw
// (the calls are listed in the data file).
TEST(VideoCapture, ScriptsOfHostCalls) {
    for (const auto& script : LoadScripts()) {
        SCOPED_TRACE(script.first);
        Rig r;
        ASSERT_TRUE(r.Open());
        talvik_host::StreamRequest request{1920, 1080, 1, 200, 80, 0, 42};
        std::istringstream calls(script.first.substr(script.first.find(": ") + 2));
        for (std::string call; calls >> call;) {
            request.auxiliary = call == "A";
            talvik_host::HostStreamSettings settings(request);
            const uint32_t input = call.size() > 1 ? uint32_t(call[1] - '0') : 0;
            const uint32_t kind = call.size() < 4  ? 0
                                  : call[3] == 'x' ? 0xFFFFFFFFu
                                                   : call[3] - '0';
            talvik_host::HostFrameSize size(0x10280, 0x201E0);  // only 16 bits count
            uint32_t status = 99, second = 99;
            char text[8] = "x";
            auto* video = r.driver.GetVideoCaptureEx2();  // a second open makes a new one
            std::string answer;
            bool ok = true;
            if (call == "close") {
                r.driver.Close();
                ok = r.driver.GetVideoCapture() == nullptr;
            } else if (call == "open") {
                ok = r.driver.Open(&r.debug, &r.allocator, r.device.get());
            } else if (call == "fail") {
                r.driver.startResult = false;
            } else if (call == "none") {
                r.driver.makeChannels = false;
            } else if (call[0] == 'C') {  // C<codec>,<interval> for the next starts
                request.codec = U(call.substr(1));
                request.frameInterval = U(call.substr(call.find(',') + 1));
            } else if (call[0] == '=') {
                r.driver.made.back()->status = U(call.substr(1));
            } else if (call == "N") {
                ok = video->StartVideo(0, &r.sink, nullptr);
            } else if (call[0] == 'V' || call[0] == 'A') {
                ok = video->StartVideo(input, &r.sink, &settings);
            } else if (call[0] == 'S' || call[0] == 'Z') {
                ok = video->StartStream(input, kind, call[0] == 'S' ? &r.sink : nullptr, &settings);
            } else if (call[0] == 'v') {
                ok = video->StopVideo(input);
            } else if (call[0] == 's') {
                ok = video->StopStream(input, kind);
            } else if (call[0] == 'U' || call[0] == 'u') {
                ok = video->UpdateVideo(input, call[0] == 'U' ? &size : nullptr, 500);
            } else if (call[0] == 'P') {
                ok = video->PauseVideo(input);
            } else if (call[0] == 'R') {
                ok = video->ResumeVideo(input);
            } else if (call[0] == '?' || call[0] == '!') {  // '!': no room for the text
                ok = video->GetVideoStatus(input, &status, &second, text, call[0] == '?' ? 8 : 0);
                answer = " " + S(status) + " " + S(second) + " '" + text + "'";
            } else {
                FAIL() << "unknown call " << call;
            }
            g_journal.push_back(call + (ok ? " ok" : " refused") + answer);
        }
        std::string journal;
        for (const std::string& entry : g_journal)
            journal += entry + "\n";
        EXPECT_EQ(journal, script.second);
    }
}

TEST(FrameContract, ResolutionClassIntervalAndStreamName) {
    for (const auto& c : Rows("frame_contract.txt")) {
        if (c[0] == "R")
            EXPECT_EQ(talvik::ResolutionClass(U(c[1]), U(c[2])), U(c[3])) << c[1] << "x" << c[2];
        else if (c[0] == "E")
            EXPECT_EQ(talvik::DecodeFrameInterval(uint16_t(U(c[1]))), U(c[2])) << c[1];
        else
            EXPECT_EQ(talvik::StreamName("drv", U(c[1])), c[2]);
    }
}

}  // namespace

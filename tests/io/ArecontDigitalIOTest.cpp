// The digital I/O engine against a fake camera (and once over HTTP): value
// forms, polling, output writes, failures, start and stop; its output queue.
#include "io/ArecontDigitalIO.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>

#include "io/IoFakes.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"
#include "support/Threads.h"

using talvik::CArecontDigitalIO;
using talvik_test::IoDriver;
using talvik_test::LogLine;
using talvik_test::RecordingCallback;
using talvik_test::ThreadCount;
using talvik_test::WaitForThreadCount;
using talvik_test::WaitUntil;

namespace {

using Changes = std::vector<std::pair<uint32_t, uint32_t>>;
using Paths = std::vector<std::string>;
using Log = std::vector<LogLine>;

const char kOn[] = "/set?auxout=on";
const char kOff[] = "/set?auxout=off";
const char kOne[] = "/set?auxout=1";
const char kZero[] = "/set?auxout=0";
const LogLine kInputFailed{
    1,
    "talvik::CIOBase::GetInputStatesWrapper: GetInputStates() method failed! "
    "Device 127.0.0.1:8080"};

// Rows of data/aux_values.txt; a longer name ending in auxin is not the item.
TEST(AuxInValue, ParsesToStateAndForm) {
    for (auto c : talvik::test::DataRows("io/data/aux_values.txt", "|")) {
        for (std::string* text : {&c[0], &c[1]}) {
            for (size_t at; (at = text->find("\\r\\n")) != std::string::npos;)
                text->replace(at, 4, "\r\n");
            for (size_t at; (at = text->find("\\x")) != std::string::npos;)
                text->replace(at, 4, 1, char(std::stoi(text->substr(at + 2, 2), nullptr, 16)));
        }
        EXPECT_EQ(talvik::ParseAuxValue(c[0]), c[1]) << c[0];
        EXPECT_EQ(talvik::AuxValueToState(c[1]), uint32_t(std::stoi(c[2]))) << c[0];
        EXPECT_EQ(talvik::IsNumericAuxValue(c[1]), c[3] == "1") << c[0];
    }
}

// The engine over a fake camera that accepts every write, in process or
// through the real HTTP sender.
struct Rig {
    Rig(uint32_t inputs, uint32_t outputs, uint32_t pollMs = 10, bool overHttp = false)
        : driver(inputs, outputs) {
        camera.Otherwise(200);
        SetAuxIn("auxin=off");
        if (overHttp) driver.device.port = camera.Serve();
        io = overHttp ? std::make_unique<CArecontDigitalIO>(&driver)
                      : std::make_unique<CArecontDigitalIO>(&driver, camera.Requester(),
                                                            camera.Requester());
        io->SetInputPollPeriod(pollMs);
        EXPECT_TRUE(io->SetCallback(&callback));
    }
    ~Rig() {
        if (io) io->StopIO();
    }
    void SetAuxIn(const std::string& body, unsigned status = 200) {
        camera.Reply("/get?auxin", body, status);
    }
    Paths Writes() { return camera.Requests("/set?auxout"); }
    int Reads() { return int(camera.Requests("/get?auxin").size()); }
    bool WaitWrites(size_t count) { return camera.WaitFor("/set?auxout", count); }

    talvik_test::FakeCamera camera;
    IoDriver driver;
    RecordingCallback callback;
    std::unique_ptr<CArecontDigitalIO> io;
};

// Each start probes the input for the value form ("0"/"1" or "off"/"on") and
// drives the output inactive in it; a failed probe or no input means words.
// A second start while running is refused without a second probe or drive.
// A change queued before the first start is written ahead of the drive; a
// write that throws does not end the output worker.
TEST(DigitalIO, EachStartProbesTheFormAndDrivesInactive) {
    Rig rig(1, 1, 60000);
    std::atomic<int> ones{0};
    rig.camera.OnRequest([&](const std::string& path) {
        if (path == kOne && ++ones == 2) throw std::runtime_error("a write that throws");
    });
    rig.SetAuxIn("auxin=0");
    ASSERT_TRUE(rig.io->ChangeOutputState(0, 2));
    ASSERT_TRUE(rig.io->StartIO());
    EXPECT_TRUE(rig.io->NumericValues());
    // The probe, then the first poll at once (the next is a minute away).
    ASSERT_TRUE(WaitUntil([&] { return rig.Reads() == 2 && rig.Writes().size() == 2; }));
    EXPECT_FALSE(rig.io->StartIO());
    EXPECT_EQ(rig.driver.log.Lines().size(), 2u) << "one message per refused thread";
    ASSERT_TRUE(rig.io->ChangeOutputState(0, 2));
    ASSERT_TRUE(WaitUntil([&] { return ones.load() == 2; }));
    ASSERT_TRUE(rig.io->ChangeOutputState(0, 1));  // the worker lives on
    ASSERT_TRUE(rig.WaitWrites(3));
    const struct {
        const char* auxIn;  // empty: the probe fails
        uint32_t inputs;
        bool numeric;
    } restarts[] = {{"auxin=on", 1, false}, {"", 1, false}, {"auxin=0", 0, false}};
    size_t writes = 3;
    int reads = 2;
    for (const auto& c : restarts) {
        ASSERT_TRUE(rig.io->StopIO());
        EXPECT_FALSE(rig.io->ChangeOutputState(0, 2)) << "stopped";
        rig.SetAuxIn(c.auxIn);
        rig.driver.inputs = c.inputs;
        ASSERT_TRUE(rig.io->StartIO());
        EXPECT_EQ(rig.io->NumericValues(), c.numeric) << c.auxIn;
        ASSERT_TRUE(rig.io->ChangeOutputState(0, 2));
        ASSERT_TRUE(rig.io->ChangeOutputState(0, 1));
        ASSERT_TRUE(rig.WaitWrites(writes += 3));
        reads += c.inputs != 0 ? 2 : 0;
        ASSERT_TRUE(WaitUntil([&] { return rig.Reads() == reads; }));
    }
    EXPECT_EQ(rig.Writes(),
              (Paths{kOne, kZero, kZero, kOff, kOn, kOff, kOff, kOn, kOff, kOff, kOn, kOff}));
    EXPECT_EQ(rig.Reads(), 6) << "a probe and a first poll per start with an input";
}

// Each change of the input is reported once. A reply that names no value,
// or a value that is neither a number nor on/off, is no state: the poll
// fails, the input reported before is forgotten rather than reported active,
// and its value is reported anew once polls succeed. Only a 200 answer is a
// reading; a run of failures is logged once.
TEST(DigitalIO, InputChangesReportedOnceFailuresLoggedOncePerRun) {
    Rig rig(1, 0);
    ASSERT_TRUE(rig.io->StartIO());
    for (const char* value : {"auxin=off", "auxin=on", "auxin=on", "auxin=0", "auxin=1",
                              "auxin=OFF", "auxout=off\r\n", "auxin=%%garbage\x01", "auxin=OFF"}) {
        rig.SetAuxIn(value);
        const int reads = rig.Reads();
        ASSERT_TRUE(WaitUntil([&] { return rig.Reads() >= reads + 3; }));
    }
    EXPECT_EQ(rig.callback.Changes(), (Changes{{0, 1}, {0, 2}, {0, 1}, {0, 2}, {0, 1}, {0, 1}}));
    EXPECT_GE(rig.callback.failures.load(), 2);
    EXPECT_EQ(rig.driver.log.Lines(), Log{kInputFailed});
    rig.SetAuxIn("auxin=on", 201);
    const int failures = rig.callback.failures.load();
    ASSERT_TRUE(WaitUntil([&] { return rig.callback.failures.load() >= failures + 3; }));
    EXPECT_EQ(rig.callback.Changes().size(), 6u);
    EXPECT_EQ(rig.driver.log.Lines(), (Log{kInputFailed, kInputFailed}));
}

// A camera that refuses a write (404, through the real HTTP sender) has not
// changed its output: the failure reaches the host, and the same change is
// written again next time.
TEST(DigitalIO, FailedWriteResetsStatesAndIsRetried) {
    Rig rig(0, 1, 10, true);
    rig.camera.Otherwise(404);
    ASSERT_TRUE(rig.io->StartIO());
    ASSERT_TRUE(WaitUntil([&] { return rig.callback.failures.load() == 1; }));
    ASSERT_TRUE(rig.io->ChangeOutputState(0, 2));
    ASSERT_TRUE(WaitUntil([&] { return rig.callback.failures.load() == 2; }));
    rig.camera.Otherwise(200);
    // Written again: the failure forgot the state; 0 means unknown and is
    // never written; index 5 is beyond the output count.
    for (const auto& [index, state] : Changes{{0, 2}, {0, 2}, {0, 0}, {5, 2}, {0, 1}, {0, 2}})
        ASSERT_TRUE(rig.io->ChangeOutputState(index, state));
    // The queue keeps its order, so a stray write would show among the first five.
    ASSERT_TRUE(rig.WaitWrites(5));
    EXPECT_EQ(rig.Writes(), (Paths{kOff, kOn, kOn, kOff, kOn}));
    EXPECT_EQ(rig.callback.failures.load(), 2);
    EXPECT_EQ(rig.driver.log.Lines(),
              (Log{{1,
                    "talvik::CIOBase::SetOutputStateWrapper: Unable to change output state for "
                    "device 127.0.0.1:" +
                        std::to_string(rig.driver.device.port) + " (output index 0)"}}));
}

// Stop cancels a hanging poll and a hanging write, and drops the queue (a
// restart writes none of it); the destructor without a stop cancels too. No
// inputs and no outputs start nothing.
TEST(DigitalIO, StopAndDestroyCancelHangingRequestsAndEndTheThreads) {
    const int threadsBefore = ThreadCount();
    Rig rig(1, 1);
    rig.camera.HangAfter("/", 1);  // the probe passes, the first write and poll hang
    ASSERT_TRUE(rig.io->StartIO());
    ASSERT_TRUE(WaitUntil([&] { return rig.camera.Hanging() == 2; }));
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_TRUE(rig.io->ChangeOutputState(0, 1 + i % 2));
    EXPECT_TRUE(rig.io->StopIO());
    EXPECT_EQ(rig.Writes(), (Paths{kOff}));
    EXPECT_EQ(rig.camera.Hanging(), 0);
    EXPECT_EQ(rig.callback.failures.load(), 0) << "our own cancel is no camera failure";
    EXPECT_TRUE(rig.driver.log.Lines().empty()) << "no thread had to be left running";
    EXPECT_TRUE(WaitForThreadCount(threadsBefore));

    rig.camera.HangAfter("/set", 2);  // the next write passes, the one after hangs
    ASSERT_TRUE(rig.io->StartIO());
    ASSERT_TRUE(rig.io->ChangeOutputState(0, 2));
    ASSERT_TRUE(WaitUntil([&] { return rig.camera.Hanging() == 1; }));
    EXPECT_EQ(rig.Writes(), (Paths{kOff, kOff, kOn})) << "the stop dropped the queue";
    rig.io.reset();  // no StopIO: the destructor must cancel and join
    EXPECT_EQ(rig.camera.Hanging(), 0);
    EXPECT_TRUE(WaitForThreadCount(threadsBefore));

    Rig idle(0, 0);
    EXPECT_FALSE(idle.io->SetCallback(nullptr));
    EXPECT_TRUE(idle.io->StartIO());
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_TRUE(idle.io->StopIO());
    EXPECT_EQ(idle.camera.Requests(), Paths{});
}

// The host stuck in an input callback past the stop limit while the driver
// lets go of the I/O object: the stop returns in time with one warning, the
// input thread is left to finish (never ended) and keeps the object until it
// has; the host hears nothing more.
TEST(DigitalIO, HostStuckInAnInputCallbackKeepsTheEngineAlive) {
    struct StuckHost : talvik::ICaptureIOCallback {
        void OnInputStateChanged(uint32_t, uint32_t) override {
            ++calls;
            entered.Set();
            release.Wait(60000);
        }
        void OnIOFailure() override {}
        std::atomic<int> calls{0};
        talvik::CEvent entered;
        talvik::CManualEvent release;
    } host;
    talvik_test::FakeCamera camera;
    camera.Otherwise(200);
    camera.Reply("/get?auxin", "auxin=on");
    IoDriver driver(1, 0);
    driver.device.timeoutMs = 200;
    auto io = std::make_shared<CArecontDigitalIO>(&driver, camera.Requester(), camera.Requester());
    io->SetInputPollPeriod(10);
    ASSERT_TRUE(io->SetCallback(&host));
    ASSERT_TRUE(io->StartIO());
    ASSERT_TRUE(host.entered.Wait(10000));
    const auto before = std::chrono::steady_clock::now();
    io->Retire(io);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    const std::weak_ptr<CArecontDigitalIO> watch = io;
    io.reset();
    EXPECT_FALSE(watch.expired()) << "deleted under its input thread";
    host.release.Set();
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }));
    EXPECT_EQ(host.calls.load(), 1);
    const Log lines = driver.log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 2u);
    EXPECT_NE(lines[0].text.find("name\"Digital Input thread (talvik_arecont: Device "
                                 "127.0.0.1:8080)\") was not stopped during 200 milliseconds and "
                                 "is left to end by itself"),
              std::string::npos)
        << lines[0].text;
}

}  // namespace

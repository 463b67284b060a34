#include "io/ArecontDigitalIO.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <thread>

#include "io/IoFakes.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"
#include "support/Threads.h"

using talvik::CArecontDigitalIO;
using talvik_test::FakeCamera;
using talvik_test::IoDriver;
using talvik_test::LogLine;
using talvik_test::RecordingCallback;
using talvik_test::ThreadCount;
using talvik_test::WaitUntil;

namespace {

using Changes = std::vector<std::pair<uint32_t, uint32_t>>;
using Paths = std::vector<std::string>;

const char kOn[] = "/set?auxout=on";
const char kOff[] = "/set?auxout=off";
const char kOne[] = "/set?auxout=1";
const char kZero[] = "/set?auxout=0";
const LogLine kInputFailed{
    1,
    "talvik::CIOBase::GetInputStatesWrapper: GetInputStates() method failed! "
    "Device 127.0.0.1:8080"};

// --- value forms ---------------------------------------------------------

// Rows of data/aux_values.txt; a longer name ending in auxin is not the item.
TEST(AuxInValue, ParsesToStateAndForm) {
    std::istringstream rows(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/io/data/aux_values.txt"));
    for (std::string body, value, state, numeric; std::getline(rows, body, '|');) {
        std::getline(rows, value, '|');
        std::getline(rows, state, '|');
        std::getline(rows, numeric);
        for (size_t at; (at = body.find("\\r\\n")) != std::string::npos;)
            body.replace(at, 4, "\r\n");
        if (body[0] == '#') continue;
        EXPECT_EQ(talvik::ParseAuxValue(body), value) << body;
        EXPECT_EQ(talvik::AuxValueToState(value), uint32_t(std::stoi(state))) << body;
        EXPECT_EQ(talvik::IsNumericAuxValue(value), numeric == "1") << body;
    }
}

// --- engine against a fake camera ---------------------------------------

class DigitalIO : public ::testing::Test {
protected:
    void Make(uint32_t inputs, uint32_t outputs, uint32_t pollMs = 10) {
        driver = std::make_unique<IoDriver>(inputs, outputs);
        io = std::make_unique<CArecontDigitalIO>(driver.get(), camera.Requester(),
                                                 camera.Requester());
        io->SetInputPollPeriod(pollMs);
        ASSERT_TRUE(io->SetCallback(&callback));
    }

    void TearDown() override {
        if (io) io->StopIO();
        io.reset();
    }

    void SetUp() override {
        camera.Otherwise(200);  // writes are accepted
        SetAuxIn("auxin=off");
    }
    void SetAuxIn(const std::string& body, unsigned status = 200) {
        camera.Reply("/get?auxin", body, status);
    }
    Paths Writes() { return camera.Requests("/set?auxout"); }
    int Reads() { return int(camera.Requests("/get?auxin").size()); }
    bool WaitWrites(size_t count) { return camera.WaitFor("/set?auxout", count); }

    FakeCamera camera;
    RecordingCallback callback;
    std::unique_ptr<IoDriver> driver;
    std::unique_ptr<CArecontDigitalIO> io;
};

struct ProbeCase {
    const char* name;
    const char* auxIn;  // empty: the probe fails
    uint32_t inputs;
    bool numeric;
    const char* inactive;
    const char* active;
};

class ProbeForm : public DigitalIO, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeForm, OutputsFollowTheProbedForm) {
    const ProbeCase& c = GetParam();
    SetAuxIn(c.auxIn);
    Make(c.inputs, 1, 60000);
    ASSERT_TRUE(io->StartIO());
    EXPECT_EQ(io->NumericValues(), c.numeric);
    ASSERT_TRUE(WaitWrites(1));
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    ASSERT_TRUE(io->ChangeOutputState(0, 1));
    ASSERT_TRUE(WaitWrites(3));
    EXPECT_EQ(Writes(), (Paths{c.inactive, c.active, c.inactive}));
    // With an input: the probe, then the first poll at once (the next is a minute away).
    if (c.inputs != 0) {
        ASSERT_TRUE(camera.WaitFor("/get?auxin", 2));
    }
    EXPECT_EQ(Reads(), c.inputs == 0 ? 0 : 2);
}

INSTANTIATE_TEST_SUITE_P(Cameras, ProbeForm,
                         ::testing::Values(ProbeCase{"Zero", "auxin=0", 1, true, kZero, kOne},
                                           ProbeCase{"On", "auxin=on", 1, false, kOff, kOn},
                                           ProbeCase{"ProbeFails", "", 1, false, kOff, kOn},
                                           ProbeCase{"NoInput", "auxin=0", 0, false, kOff, kOn}),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DigitalIO, InputToggleReportedOncePerChange) {
    SetAuxIn("auxin=off");
    Make(1, 0);
    ASSERT_TRUE(io->StartIO());
    const std::vector<const char*> values = {"auxin=off", "auxin=on", "auxin=on",
                                             "auxin=0",   "auxin=1",  "auxin=OFF"};
    for (const char* value : values) {
        SetAuxIn(value);
        const int reads = Reads();
        ASSERT_TRUE(WaitUntil([&] { return Reads() >= reads + 3; }));
    }
    EXPECT_EQ(callback.Changes(), (Changes{{0, 1}, {0, 2}, {0, 1}, {0, 2}, {0, 1}}));
    EXPECT_EQ(callback.failures.load(), 0);
    // A reply that names no input value is no state: the poll fails, and the
    // input reported before is forgotten rather than reported active.
    SetAuxIn("auxout=off\r\n");
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() >= 3; }));
    EXPECT_EQ(callback.Changes().size(), 5u);
    EXPECT_EQ(driver->log.Lines(), (std::vector<LogLine>{kInputFailed}));
}

TEST_F(DigitalIO, InputFailureLoggedOnceAndPollingGoesOn) {
    SetAuxIn("auxin=on", 201);  // only a 200 answer is a reading
    Make(1, 0);
    ASSERT_TRUE(io->StartIO());
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() >= 5; }));
    EXPECT_EQ(driver->log.Lines(), (std::vector<LogLine>{kInputFailed}));
    EXPECT_TRUE(callback.Changes().empty());

    SetAuxIn("auxin=on");  // recovers
    ASSERT_TRUE(WaitUntil([&] { return !callback.Changes().empty(); }));
    EXPECT_EQ(callback.Changes(), (Changes{{0, 2}}));

    // The first failure after a success is logged again, and the states come
    // back after it: the same value is reported anew.
    SetAuxIn("auxin=on", 404);
    const int failures = callback.failures.load();
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() > failures; }));
    SetAuxIn("auxin=on");
    ASSERT_TRUE(WaitUntil([&] { return callback.Changes().size() == 2; }));
    EXPECT_EQ(callback.Changes(), (Changes{{0, 2}, {0, 2}}));
    EXPECT_EQ(driver->log.Lines(), (std::vector<LogLine>{kInputFailed, kInputFailed}));
}

TEST_F(DigitalIO, FailedWriteResetsStatesAndIsRetried) {
    camera.Otherwise(404);
    Make(0, 1);
    ASSERT_TRUE(io->StartIO());
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() == 1; }));
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() == 2; }));
    camera.Otherwise(200);
    ASSERT_TRUE(io->ChangeOutputState(0, 2));  // written again: the failure forgot the state
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    ASSERT_TRUE(io->ChangeOutputState(0, 0));  // 0 means unknown: never written
    ASSERT_TRUE(io->ChangeOutputState(5, 2));  // beyond the output count
    ASSERT_TRUE(io->ChangeOutputState(0, 1));
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    // The queue keeps its order, so a stray write would show among the first five.
    ASSERT_TRUE(WaitWrites(5));
    EXPECT_EQ(Writes(), (Paths{kOff, kOn, kOn, kOff, kOn}));
    EXPECT_EQ(callback.failures.load(), 2);
    EXPECT_EQ(driver->log.Lines(),
              (std::vector<LogLine>{{1,
                                     "talvik::CIOBase::SetOutputStateWrapper: Unable to change "
                                     "output state for device 127.0.0.1:8080 (output index 0)"}}));
}

// A camera that refuses the set request (through the real HTTP sender) has
// not changed its output: the failure reaches the host and the same change
// is written again next time. (404 from the fake camera above.)
TEST(RefusedWrite, ErrorStatusIsAFailedWrite) {
    talvik_test::TestHttpServer server({}, [](const talvik_test::HttpExchange&) {
        talvik_test::HttpReply reply;
        reply.status = 401;
        reply.headers.push_back({"WWW-Authenticate", "Basic realm=\"camera\""});
        return reply;
    });
    ASSERT_TRUE(server.Started());
    IoDriver driver(0, 1);
    driver.device.port = server.Port();
    driver.device.userName = "admin";
    driver.device.password = "wrong";
    RecordingCallback callback;
    CArecontDigitalIO io(&driver);
    ASSERT_TRUE(io.SetCallback(&callback));
    ASSERT_TRUE(io.StartIO());  // drives the output inactive
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() == 1; }));
    ASSERT_TRUE(io.ChangeOutputState(0, 1));
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() == 2; }));
    ASSERT_TRUE(io.StopIO());
    ASSERT_EQ(server.Exchanges().size(), 2u);
    EXPECT_EQ(server.Exchanges()[1].url, kOff);
    EXPECT_EQ(driver.log.Lines().back(),
              (LogLine{1,
                       "talvik::CIOBase::SetOutputStateWrapper: Unable to change output state "
                       "for device 127.0.0.1:" +
                           std::to_string(server.Port()) + " (output index 0)"}));
}

// Stop cancels a hanging poll and a hanging write, and drops the queue.
TEST_F(DigitalIO, StopDiscardsQueuedChangesWithoutTouchingTheCamera) {
    const int threadsBefore = ThreadCount();
    camera.HangAfter("/", 1);  // the probe passes, the first write and poll hang
    Make(1, 1);
    ASSERT_TRUE(io->StartIO());
    // The inactive write and the first poll.
    ASSERT_TRUE(WaitUntil([&] { return camera.Hanging() == 2; }));
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_TRUE(io->ChangeOutputState(0, 2 - i % 2));
    EXPECT_TRUE(io->StopIO());
    EXPECT_EQ(Writes(), (Paths{kOff}));
    EXPECT_EQ(camera.Hanging(), 0);
    // Our own cancel is no camera failure.
    EXPECT_EQ(callback.failures.load(), 0);
    EXPECT_TRUE(driver->log.Lines().empty()) << "no thread had to be terminated";
    EXPECT_EQ(ThreadCount(), threadsBefore);
    // Stopped: requests are refused until the next start.
    EXPECT_FALSE(io->ChangeOutputState(0, 2));
}

// A second start while running is refused without a second probe or drive;
// a start after a stop probes again and drives inactive in the new form.
TEST_F(DigitalIO, SecondStartRefusedRestartAfterStopProbesAgain) {
    SetAuxIn("auxin=0");
    Make(1, 1, 60000);
    ASSERT_TRUE(io->StartIO());
    EXPECT_TRUE(io->NumericValues());
    ASSERT_TRUE(WaitUntil([&] { return Reads() == 2 && Writes().size() == 1; }));
    EXPECT_FALSE(io->StartIO());
    EXPECT_EQ(Reads(), 2);
    EXPECT_EQ(Writes(), (Paths{kZero}));
    EXPECT_EQ(driver->log.Lines().size(), 2u) << "one message per refused thread";
    ASSERT_TRUE(io->StopIO());
    EXPECT_FALSE(io->ChangeOutputState(0, 2));
    SetAuxIn("auxin=on");
    ASSERT_TRUE(io->StartIO());
    EXPECT_FALSE(io->NumericValues());
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    ASSERT_TRUE(WaitWrites(3));
    EXPECT_EQ(Writes(), (Paths{kZero, kOff, kOn}));
}

TEST_F(DigitalIO, NoInputsNoOutputsStartsNothing) {
    const int threadsBefore = ThreadCount();
    Make(0, 0);
    EXPECT_FALSE(io->SetCallback(nullptr));
    EXPECT_TRUE(io->StartIO());
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_TRUE(io->StopIO());
    EXPECT_EQ(Reads(), 0);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(DigitalIO, DestroyWhileRunningEndsThreadsFirst) {
    const int threadsBefore = ThreadCount();
    camera.HangAfter("/set", 0);
    Make(1, 1);
    ASSERT_TRUE(io->StartIO());
    ASSERT_TRUE(WaitUntil([&] { return camera.Hanging() == 1; }));
    io.reset();  // no StopIO: the destructor must cancel and join
    EXPECT_EQ(camera.Hanging(), 0);
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

}  // namespace

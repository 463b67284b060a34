// Digital I/O end to end: the module's I/O object over its real HTTP sender
// against the camera simulator, and `talvik-host io` against it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "io/ArecontDigitalIO.h"
#include "io/IoFakes.h"
#include "support/CamSim.h"
#include "support/Threads.h"

using talvik::CArecontDigitalIO;
using talvik::test::CamSim;
using talvik::test::SplitLines;
using talvik_test::IoDriver;
using talvik_test::LogLine;
using talvik_test::RecordingCallback;
using talvik_test::ThreadCount;
using talvik_test::WaitUntil;

namespace {

using Changes = std::vector<std::pair<uint32_t, uint32_t>>;
using Lines = std::vector<std::string>;

size_t CountRequests(const CamSim& sim, const std::string& line) {
    size_t n = 0;
    for (const std::string& request : sim.Requests())
        n += request == line;
    return n;
}

class CamSimIO : public ::testing::Test {
protected:
    void Start(const std::string& form, uint32_t inputs = 1, uint32_t outputs = 1) {
        std::string error;
        sim = CamSim::Start({"--io", form}, &error);
        ASSERT_TRUE(sim) << error;
        driver = std::make_unique<IoDriver>(inputs, outputs);
        driver->device.port = sim->HttpPort();
        io = std::make_unique<CArecontDigitalIO>(driver.get());
        io->SetInputPollPeriod(50);
        ASSERT_TRUE(io->SetCallback(&callback));
    }

    void TearDown() override {
        if (io) io->StopIO();
        io.reset();
        sim.reset();
    }

    Lines AuxOut() { return SplitLines(sim->Get("/sim/auxout")); }
    void Sim(const std::string& path) {
        long status = 0;
        sim->Get(path, &status);
        ASSERT_EQ(status, 200) << path;
    }
    bool WaitAuxOut(size_t count) {
        return WaitUntil([&] { return AuxOut().size() >= count; }, 20000);
    }

    std::unique_ptr<CamSim> sim;
    std::unique_ptr<IoDriver> driver;
    std::unique_ptr<CArecontDigitalIO> io;
    RecordingCallback callback;
};

struct FormCase {
    const char* form;
    bool numeric;
    Lines writes;  // start (inactive), active, inactive
};

class CamSimForm : public CamSimIO, public ::testing::WithParamInterface<FormCase> {};

TEST_P(CamSimForm, OutputsWrittenInTheCamerasForm) {
    Start(GetParam().form);
    ASSERT_TRUE(io->StartIO());
    EXPECT_EQ(io->NumericValues(), GetParam().numeric);
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    ASSERT_TRUE(io->ChangeOutputState(0, 2));  // equal: not written again
    ASSERT_TRUE(io->ChangeOutputState(1, 2));  // beyond the single output: ignored
    ASSERT_TRUE(io->ChangeOutputState(0, 1));
    ASSERT_TRUE(WaitAuxOut(3));
    ASSERT_TRUE(io->StopIO());
    EXPECT_EQ(AuxOut(), GetParam().writes);
    EXPECT_EQ(callback.failures.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, CamSimForm,
                         ::testing::Values(FormCase{"numeric", true, {"0", "1", "0"}},
                                           FormCase{"onoff", false, {"off", "on", "off"}}),
                         [](const ::testing::TestParamInfo<FormCase>& info) {
                             return std::string(info.param.form);
                         });

TEST_F(CamSimIO, InputToggleReportedOncePerChange) {
    Start("onoff");
    ASSERT_TRUE(io->StartIO());
    ASSERT_TRUE(WaitUntil([&] { return callback.Changes().size() == 1; }));
    const std::vector<const char*> values = {"on", "on", "off", "1", "0"};
    size_t expected = 1;
    for (size_t i = 0; i < values.size(); ++i) {
        const char* value = values[i];
        Sim(std::string("/sim/auxin?value=") + value);
        if (i != 1) ++expected;  // the repeated "on" is no change
        const size_t polls = CountRequests(*sim, "GET /get?auxin none");
        ASSERT_TRUE(WaitUntil(
            [&] { return CountRequests(*sim, "GET /get?auxin none") >= polls + 3; }, 20000));
        ASSERT_EQ(callback.Changes().size(), expected) << value;
    }
    EXPECT_EQ(callback.Changes(), (Changes{{0, 1}, {0, 2}, {0, 1}, {0, 2}, {0, 1}}));
}

TEST_F(CamSimIO, NotFoundLoggedOnceThenStatesComeBack) {
    Start("numeric");
    Sim("/sim/fault?prefix=/get&status=404");
    ASSERT_TRUE(io->StartIO());
    EXPECT_FALSE(io->NumericValues());  // the probe failed too
    ASSERT_TRUE(WaitUntil([&] { return callback.failures.load() >= 4; }, 20000));
    EXPECT_TRUE(callback.Changes().empty());
    const std::string failed =
        "talvik::CIOBase::GetInputStatesWrapper: GetInputStates() method failed! Device "
        "127.0.0.1:" +
        std::to_string(sim->HttpPort());
    EXPECT_EQ(driver->log.Lines(), (std::vector<LogLine>{{1, failed}}));

    Sim("/sim/auxin?value=1");
    Sim("/sim/fault?clear=1");
    ASSERT_TRUE(WaitUntil([&] { return !callback.Changes().empty(); }, 20000));
    EXPECT_EQ(callback.Changes(), (Changes{{0, 2}}));
    EXPECT_EQ(driver->log.Lines().size(), 1u);
}

TEST_F(CamSimIO, ErrorStatusOnSetCountsAsWritten) {
    Start("numeric", 0, 1);
    Sim("/sim/fault?prefix=/set&status=500");
    ASSERT_TRUE(io->StartIO());
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    ASSERT_TRUE(io->ChangeOutputState(0, 1));
    ASSERT_TRUE(
        WaitUntil([&] { return CountRequests(*sim, "GET /set?auxout=off none") == 2; }, 20000));
    ASSERT_TRUE(io->StopIO());
    // Without an input there is no probe: the on/off form.
    EXPECT_EQ(sim->Requests(), (Lines{"GET /set?auxout=off none", "GET /set?auxout=on none",
                                      "GET /set?auxout=off none"}));
    EXPECT_EQ(callback.failures.load(), 0);
    EXPECT_TRUE(driver->log.Lines().empty());
}

TEST_F(CamSimIO, StopCancelsHangingRequestsAndDropsTheQueue) {
    Start("numeric");
    const int threadsBefore = ThreadCount();
    ASSERT_TRUE(io->StartIO());
    ASSERT_TRUE(WaitAuxOut(1));  // the inactive drive went through
    ASSERT_TRUE(WaitUntil([&] { return callback.Changes().size() == 1; }));
    // From now on every request waits half a minute.
    Sim("/sim/fault?prefix=/&delay_ms=30000");
    ASSERT_TRUE(io->ChangeOutputState(0, 2));
    // The set request is logged after the rule was in place; a poll logged
    // after it hangs as well.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const Lines requests = sim->Requests();
            bool setSeen = false;
            for (const std::string& request : requests) {
                if (request == "GET /set?auxout=1 none") setSeen = true;
                if (setSeen && request == "GET /get?auxin none") return true;
            }
            return false;
        },
        20000));
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_TRUE(io->ChangeOutputState(0, 1 + i % 2));
    EXPECT_TRUE(io->StopIO());
    // Only the write in flight reached the camera; the queue was dropped.
    EXPECT_EQ(CountRequests(*sim, "GET /set?auxout=1 none"), 1u);
    EXPECT_EQ(CountRequests(*sim, "GET /set?auxout=0 none"), 1u);  // the start's
    EXPECT_EQ(callback.failures.load(), 0);
    // A thread that had to be ended by force would have logged a warning.
    EXPECT_TRUE(driver->log.Lines().empty());
    io.reset();
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

// --- talvik-host io --------------------------------------------------------

std::string HostBinary() {
    return std::string(TALVIK_BINARY_DIR) + "/tools/host/talvik-host";
}

// The text after the "YYYY-MM-DD HH:MM:SS.mmm " time stamp.
std::string Event(const std::string& line) {
    return line.size() > 24 ? line.substr(24) : "";
}

TEST(HostIoCommand, PrintsChangesAndWritesOutputsInOrder) {
    std::string error;
    std::unique_ptr<CamSim> sim = CamSim::Start({"--io", "onoff"}, &error);
    ASSERT_TRUE(sim) << error;
    const std::string command = HostBinary() + " io --address 127.0.0.1 --port " +
                                std::to_string(sim->HttpPort()) +
                                " --set 0=active --set 0=active --set 0=inactive --set 5=active"
                                " --watch 3 2>/dev/null";
    int exitCode = -1;
    const Lines lines = SplitLines(talvik::test::RunCommand(command, 60000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    // Input lines come from the module's thread, so they may fall anywhere.
    Lines events;
    Lines inputs;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.compare(4, 1, "-"), 0) << line;  // time stamped
        const std::string event = Event(line);
        (event.compare(0, 6, "input ") == 0 ? inputs : events).push_back(event);
    }
    EXPECT_EQ(events, (Lines{"I/O started: 1 input(s), 1 output(s)", "output 0 active requested",
                             "output 0 active requested", "output 0 inactive requested",
                             "output 5 active requested", "I/O stopped"}));
    EXPECT_EQ(inputs, (Lines{"input 0 inactive"}));
    EXPECT_EQ(SplitLines(sim->Get("/sim/auxout")), (Lines{"off", "on", "off"}));
}

}  // namespace

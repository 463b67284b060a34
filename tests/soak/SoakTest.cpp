// Soak: many start/stop cycles of every channel kind, driver open/close with
// digital I/O running and repeated capability queries, against camsim, with
// the module's code linked in (not loaded) so that AddressSanitizer sees
// every allocation. Open descriptors and threads must come back to where
// they were; leaked memory fails ASan's check at exit. Cycle counts:
//   TALVIK_SOAK_CYCLES  start/stop cycles per channel kind (default 30)
//   TALVIK_SOAK_OPENS   driver open/close cycles (default 100)
//   TALVIK_SOAK_QUERIES capability queries (default 50)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "CapabilityStore.h"
#include "base/Event.h"
#include "camera/CapabilityQueryModule.h"
#include "integration/EndToEnd.h"
#include "io/IoFakes.h"
#include "talvik/CaptureIO.h"

namespace {

using talvik::test::StartCamSim;
using talvik::test::TempDir;
using talvik_e2e::Driver;

// Generous: ASan on a loaded two-core machine.
constexpr uint32_t kWaitMs = 60000;

unsigned EnvCount(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    const long value = text ? std::atol(text) : 0;
    return value > 0 && value < 100000 ? unsigned(value) : fallback;
}

// Open descriptors (the directory handle that counts them is one of them,
// the same each time) and threads of this process.
std::pair<int, int> FdsAndThreads() {
    return {talvik_test::EntryCount("/proc/self/fd"), talvik_test::ThreadCount()};
}

// The first cycle sets up what lives as long as the process (resolver,
// library state) and is not counted; the counted ones must leave descriptors
// and threads as they found them. The time per cycle is printed and recorded.
void RunCycles(const char* name, unsigned cycles, const std::function<void(unsigned)>& cycle) {
    ASSERT_NO_FATAL_FAILURE(cycle(0));
    const auto baseline = FdsAndThreads();
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 1; i <= cycles; ++i)
        ASSERT_NO_FATAL_FAILURE(cycle(i)) << "cycle " << i;
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("[ soak     ] %s: %u cycles, %.1f ms per cycle\n", name, cycles,
                took.count() / cycles);
    ::testing::Test::RecordProperty("ms_per_cycle", std::to_string(took.count() / cycles));
    // Threads that were told to stop may take a moment to leave /proc.
    auto after = baseline;
    talvik_test::WaitUntil([&] {
        after = FdsAndThreads();
        return after.first <= baseline.first && after.second <= baseline.second;
    });
    EXPECT_EQ(after, baseline) << "descriptors and threads";
}

class ChannelSoak : public ::testing::TestWithParam<std::vector<std::string>> {};

// Start, first frame, stop: the path a recording server takes each time a
// camera is switched on or its settings change. Every frame the module asked
// for goes back to the allocator.
TEST_P(ChannelSoak, StartStopCyclesLeaveNothingBehind) {
    const std::vector<std::string>& c = GetParam();
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    std::ofstream(dir.Path() + "/talvik_arecont.xml")
        << "<Configuration><Default>" + c[1] + "</Default></Configuration>\n";
    Driver host(*sim, dir.Path());
    ASSERT_TRUE(host.Open());
    talvik_host::StreamRequest request;
    request.width = 320;
    request.height = 180;
    request.codec = uint32_t(std::stoul(c[2]));
    request.frameInterval = uint32_t(std::stoul(c[3]));
    talvik_host::HostStreamSettings settings(request);
    auto* video = host.GetVideoCaptureEx2();
    RunCycles(c[0].c_str(), EnvCount("TALVIK_SOAK_CYCLES", 30), [&](unsigned) {
        const uint64_t before = host.sink.FrameCount();
        ASSERT_TRUE(video->StartStream(0, 1, &host.sink, &settings));
        ASSERT_TRUE(host.sink.WaitForFrames(before + 1, kWaitMs));
        ASSERT_TRUE(video->StopStream(0, 1));
    });
    host.Close();
    EXPECT_EQ(host.allocator.Created(), host.allocator.Released());
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChannelSoak,
                         ::testing::ValuesIn(talvik::test::DataRows("soak/data/channel_kinds.txt")),
                         [](const auto& info) { return info.param[0]; });

// Open with I/O running, then close: the I/O threads and their HTTP handles
// go with the driver.
TEST(DriverSoak, OpenCloseWithDigitalIORunning) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    RunCycles("OpenCloseWithIO", EnvCount("TALVIK_SOAK_OPENS", 100), [&](unsigned index) {
        Driver host(*sim, dir.Path());
        ASSERT_TRUE(host.Open());
        talvik::ipcapture::ICaptureIOApi* io = host.GetDigitalIO();
        ASSERT_NE(io, nullptr);
        talvik_test::RecordingCallback callback;
        ASSERT_TRUE(io->SetCallback(&callback));
        ASSERT_TRUE(io->StartIO());
        ASSERT_TRUE(io->ChangeOutputState(0, index % 2 == 0 ? 2 : 1));
        // The first poll reports the input's state.
        ASSERT_TRUE(talvik_test::WaitUntil([&] { return !callback.Changes().empty(); }, kWaitMs));
        EXPECT_EQ(callback.failures.load(), 0);
        host.Close();
    });
}

// The host stuck in a frame while it closes and deletes the driver: the
// delivering thread is left to end by itself; when the host lets go (with an
// exception, which the channel logs) it frees the channel without touching
// the deleted driver (ASan) and no message reaches the host's debug sink,
// which the host may have deleted too.
TEST(DriverSoak, HostStuckInAFrameOutlivesTheDriver) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    struct StuckSink : talvik_host::HostFrameSink {
        bool OnFrame(talvik::IHostFrame* frame) override {
            entered.Set();
            release.Wait(kWaitMs);
            HostFrameSink::OnFrame(frame);
            // The channel logs a host that fails this way.
            throw std::runtime_error("host shutting down");
        }
        talvik::CManualEvent entered, release;
    } sink;
    struct LateSink : talvik_host::HostDebugSink {
        LateSink() : HostDebugSink(nullptr) {}
        void Report(const talvik::CDebugInfoIf* info) override {
            if (!gone.load()) return HostDebugSink::Report(info);
            std::lock_guard<std::mutex> guard(lock);
            late.push_back(info->GetText() != nullptr ? info->GetText() : "");
        }
        std::atomic<bool> gone{false};
        std::mutex lock;
        std::vector<std::string> late;  // under lock
    } debug;
    talvik_host::HostFrameAllocator allocator;  // the frame in the host's hands outlives the driver
    const int threads = talvik_test::ThreadCount();
    auto host = std::make_unique<Driver>(*sim, dir.Path());
    ASSERT_TRUE(host->CArecontIPCaptureDriver::Open(&debug, &allocator, host->device.get()));
    talvik_host::StreamRequest request;
    request.width = 320;
    request.height = 180;
    request.codec = 3;  // over RTSP: the stop leaves the delivering thread after 2 s
    request.frameInterval = 40;
    talvik_host::HostStreamSettings settings(request);
    ASSERT_TRUE(host->GetVideoCaptureEx2()->StartStream(0, 1, &sink, &settings));
    ASSERT_TRUE(sink.entered.Wait(kWaitMs));
    host.reset();
    debug.gone.store(true);
    sink.release.Set();
    EXPECT_TRUE(
        talvik_test::WaitUntil([&] { return talvik_test::ThreadCount() <= threads; }, int(kWaitMs)))
        << talvik_test::ThreadCount() << " threads, " << threads << " before";
    std::lock_guard<std::mutex> guard(debug.lock);
    EXPECT_EQ(debug.late, std::vector<std::string>{});
    EXPECT_EQ(sink.FrameCount(), 1u);
    EXPECT_EQ(allocator.Created(), allocator.Released());
}

TEST(CapabilitySoak, RepeatedQueriesLeaveNothingBehind) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    RunCycles("CapabilityQuery", EnvCount("TALVIK_SOAK_QUERIES", 50), [&](unsigned) {
        talvik_host::CCapabilityStore store;
        talvik_host::CCapabilityQueryCallback callback;
        auto module = std::make_unique<talvik::CArecontCapabilityQueryModule>(&callback, false);
        ASSERT_EQ(module->StartQuery("127.0.0.1", sim->HttpPort(), "", "", &store), 1u);
        ASSERT_TRUE(callback.WaitForOutcome(kWaitMs));
        module.reset();
        ASSERT_FALSE(callback.Reports().empty());
        EXPECT_EQ(callback.Reports().front().kind, talvik_host::QueryReport::kCompleted);
        EXPECT_EQ(store.Snapshot().modelName, "Arecont AV AV2155");
    });
}

}  // namespace

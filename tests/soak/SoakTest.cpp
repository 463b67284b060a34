// Soak: many start/stop cycles of every channel kind, driver open/close with
// digital I/O running and repeated capability queries, against camsim, with
// the module's code linked in (not loaded) so that AddressSanitizer sees
// every allocation. Open descriptors and threads must come back to where
// they were; leaked memory fails ASan's check at exit. Cycle counts:
//   TALVIK_SOAK_CYCLES  start/stop cycles per channel kind (default 30)
//   TALVIK_SOAK_OPENS   driver open/close cycles (default 100)
//   TALVIK_SOAK_QUERIES capability queries (default 50)
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "CapabilityStore.h"
#include "HostObjects.h"
#include "camera/CapabilityQueryModule.h"
#include "driver/ArecontIPCaptureDriver.h"
#include "support/CamSim.h"
#include "support/TestFiles.h"
#include "support/Threads.h"
#include "talvik/CaptureIO.h"
#include "talvik/IPVideoCapture.h"

namespace {

using Clock = std::chrono::steady_clock;
using talvik::test::CamSim;
using talvik::test::StartCamSim;
using talvik::test::TempDir;

// Generous: ASan on a loaded two-core machine.
constexpr uint32_t kFrameWaitMs = 60000;
constexpr int kSettleMs = 15000;

unsigned EnvCount(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' && value > 0 && value < 100000 ? unsigned(value) : fallback;
}

unsigned Cycles() {
    return EnvCount("TALVIK_SOAK_CYCLES", 30);
}

size_t CountEntries(const char* directory) {
    size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Threads and open descriptors of this process (the directory handle used to
// count descriptors is itself one of them, the same each time).
struct Resources {
    size_t fds = 0;
    size_t threads = 0;
    static Resources Now() {
        return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task")};
    }
};

// The real driver on the reference host's objects, reading its settings file
// from the test's own directory instead of beside the test program.
class Host : public talvik::CArecontIPCaptureDriver {
public:
    Host(const CamSim& sim, std::string directory) : directory_(std::move(directory)) {
        talvik_host::DeviceDescription d;
        d.address = "127.0.0.1";
        d.port = sim.HttpPort();
        d.model = "AV2155";
        d.digitalInputs = 1;
        d.digitalOutputs = 1;
        d.parameters[2] = std::to_string(sim.RtspPort());
        device = std::make_unique<talvik_host::HostDevice>(d);
    }
    ~Host() override { Close(); }  // while the host objects below still live
    std::string GetHostDirectory() override { return directory_; }
    bool Open() { return CArecontIPCaptureDriver::Open(&debug, &allocator, device.get()); }

    talvik_host::HostFrameSink sink{0};
    talvik_host::HostDebugSink debug{nullptr};
    talvik_host::HostFrameAllocator allocator;
    std::unique_ptr<talvik_host::HostDevice> device;

private:
    std::string directory_;
};

class CountingIOCallback : public talvik::ICaptureIOCallback {
public:
    void OnInputStateChanged(uint32_t, uint32_t) override { ++changes; }
    void OnIOFailure() override { ++failures; }
    std::atomic<int> changes{0};
    std::atomic<int> failures{0};
};

struct ChannelCase {
    const char* name;
    uint32_t codec;  // 1 JPEG, 3 H.264
    uint32_t intervalMs;
    bool interleaved;  // RTP inside the RTSP connection (settings file)
};

// Test names and failure messages show the kind, not the bytes.
std::ostream& operator<<(std::ostream& os, const ChannelCase& c) {
    return os << c.name;
}

const ChannelCase kChannels[] = {
    {"MjpegStream", 1, 40, false},         {"JpegSnapshots", 1, 2000, false},
    {"H264KeyFramesHttp", 3, 2000, false}, {"RtspUdp", 3, 40, false},
    {"RtspInterleaved", 3, 40, true},
};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const char* what, unsigned cycles, double seconds) {
    const double msPerCycle = cycles > 0 ? seconds * 1000 / cycles : 0;
    std::printf("[ soak     ] %s: %u cycles in %.1f s, %.1f ms per cycle\n", what, cycles, seconds,
                msPerCycle);
    std::fflush(stdout);
    ::testing::Test::RecordProperty("cycles", int(cycles));
    ::testing::Test::RecordProperty("ms_per_cycle", std::to_string(msPerCycle));
}

// The first cycle sets up what lives as long as the process (resolver,
// library state) and is not counted; the counted ones must leave descriptors
// and threads as they found them.
void RunCycles(const char* name, unsigned cycles, const std::function<void(unsigned)>& cycle) {
    ASSERT_NO_FATAL_FAILURE(cycle(0));
    const Resources baseline = Resources::Now();
    const auto start = Clock::now();
    for (unsigned i = 1; i <= cycles; ++i)
        ASSERT_NO_FATAL_FAILURE(cycle(i));
    Report(name, cycles, SecondsSince(start));
    // Threads that were told to stop may take a moment to leave /proc.
    Resources after;
    talvik_test::WaitUntil(
        [&] {
            after = Resources::Now();
            return after.fds <= baseline.fds && after.threads <= baseline.threads;
        },
        kSettleMs);
    EXPECT_EQ(after.fds, baseline.fds);
    EXPECT_EQ(after.threads, baseline.threads);
}

class ChannelSoak : public ::testing::TestWithParam<ChannelCase> {};

// Start, first frame, stop: the path a recording server takes each time a
// camera is switched on or its settings change.
TEST_P(ChannelSoak, StartStopCyclesLeaveNothingBehind) {
    const ChannelCase& c = GetParam();
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    if (c.interleaved) {
        std::ofstream(dir.Path() + "/talvik_arecont.xml")
            << "<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode></Default></Configuration>\n";
    }
    Host host(*sim, dir.Path() + "/");
    ASSERT_TRUE(host.Open());
    talvik_host::StreamRequest request;
    request.width = 320;
    request.height = 180;
    request.codec = c.codec;
    request.frameInterval = c.intervalMs;
    talvik_host::HostStreamSettings settings(request);

    auto cycle = [&](unsigned index) {
        const uint64_t before = host.sink.FrameCount();
        ASSERT_TRUE(host.GetVideoCaptureEx2()->StartStream(0, 1, &host.sink, &settings))
            << "cycle " << index;
        ASSERT_TRUE(host.sink.WaitForFrames(before + 1, kFrameWaitMs)) << "cycle " << index;
        ASSERT_TRUE(host.GetVideoCaptureEx2()->StopStream(0, 1)) << "cycle " << index;
    };
    const unsigned cycles = Cycles();
    ASSERT_NO_FATAL_FAILURE(RunCycles(c.name, cycles, cycle));
    host.Close();
    // Every frame the module asked for went back to the allocator.
    EXPECT_EQ(host.allocator.Created(), host.allocator.Released());
    EXPECT_GE(host.sink.FrameCount(), uint64_t(cycles) + 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChannelSoak, ::testing::ValuesIn(kChannels),
                         [](const ::testing::TestParamInfo<ChannelCase>& info) {
                             return std::string(info.param.name);
                         });

// Open with I/O running, then close: the I/O threads and their HTTP handles
// go with the driver.
TEST(DriverSoak, OpenCloseWithDigitalIORunning) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    TempDir dir;
    auto cycle = [&](unsigned index) {
        Host host(*sim, dir.Path() + "/");
        ASSERT_TRUE(host.Open()) << "cycle " << index;
        talvik::ipcapture::ICaptureIOApi* io = host.GetDigitalIO();
        ASSERT_NE(io, nullptr) << "cycle " << index;
        CountingIOCallback callback;
        ASSERT_TRUE(io->SetCallback(&callback));
        ASSERT_TRUE(io->StartIO()) << "cycle " << index;
        ASSERT_TRUE(io->ChangeOutputState(0, index % 2 == 0 ? 2 : 1));
        // The first poll reports the input's state.
        ASSERT_TRUE(talvik_test::WaitUntil([&] { return callback.changes > 0; }, kFrameWaitMs))
            << "cycle " << index;
        EXPECT_EQ(callback.failures.load(), 0) << "cycle " << index;
        host.Close();
    };
    RunCycles("OpenCloseWithIO", EnvCount("TALVIK_SOAK_OPENS", 100), cycle);
}

TEST(CapabilitySoak, RepeatedQueriesLeaveNothingBehind) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    auto query = [&](unsigned index) {
        talvik_host::CCapabilityStore store;
        talvik_host::CCapabilityQueryCallback callback;
        auto module = std::make_unique<talvik::CArecontCapabilityQueryModule>(&callback, false);
        ASSERT_EQ(module->StartQuery("127.0.0.1", sim->HttpPort(), "", "", &store), 1u)
            << "query " << index;
        ASSERT_TRUE(callback.WaitForOutcome(kFrameWaitMs)) << "query " << index;
        module.reset();
        const auto reports = callback.Reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.front().kind, talvik_host::QueryReport::kCompleted) << "query " << index;
        EXPECT_EQ(store.Snapshot().modelName, "Arecont AV AV2155") << "query " << index;
    };
    RunCycles("CapabilityQuery", EnvCount("TALVIK_SOAK_QUERIES", 50), query);
}

}  // namespace

// `talvik-host soak`: open, start, first frame, stop, close, over and over,
// with the module loaded once as a host keeps it; then what the process holds
// (address space, threads, handles) after the warm-up cycles against the end,
// so that a leak per cycle shows on the platform the host runs on.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "PeakSampler.h"
#include "Platform.h"
#include "Recorder.h"
#include "talvik/CaptureIO.h"

namespace talvik_host {

namespace {

// Generous: Wine on a loaded two-core machine.
constexpr uint32_t kFirstEventMs = 30000;
// A stop releases threads that end by themselves shortly after; what is
// still above the reference after this long stays. The system's HTTP
// library keeps a thread of its own while connections idle in its pool
// (Wine's looks every 5 s): the reference waits a second at most and may
// count it, the end waits for what the reference counted.
constexpr int kSettleMs = 15000;
constexpr int kReferenceSettleMs = 1000;

struct SoakOptions {
    RecordOptions stream;  // device, codec, interval, size
    uint32_t cycles = 30;
    uint32_t warmUp = 0;  // 0: a tenth of the cycles, at least 1
    bool io = false;      // the digital I/O instead of a stream
    bool json = false;
};

// Counts input reports and failures from the module's I/O threads.
class IoCounter : public talvik::ICaptureIOCallback {
public:
    void OnInputStateChanged(uint32_t, uint32_t) override { ++reports; }
    void OnIOFailure() override { ++failures; }
    std::atomic<int> reports{0};
    std::atomic<int> failures{0};
};

bool WaitFor(const std::atomic<int>& value, int atLeast, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (value.load() < atLeast) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct CycleTotals {
    uint64_t frames = 0;
    uint64_t signalLosses = 0;
    uint64_t ioFailures = 0;
};

// One cycle with a driver of its own; an empty text when it went through,
// else what failed.
std::string Cycle(HostSession& host, const SoakOptions& o, uint32_t index, CycleTotals* totals) {
    const DriverFactory& factory = host.module.Factories().back();
    HostDevice device(o.stream.device);
    auto* driver = static_cast<talvik::ipcapture::IIPCaptureDriverEx5*>(factory.create());
    if (driver == nullptr) return "the module made no driver";
    std::string failed;
    HostFrameSink sink(0);
    IoCounter io;
    if (!driver->Open(&host.debugSink, &host.allocator, &device)) {
        failed = "the driver could not open the device";
    } else if (o.io) {
        talvik::ipcapture::ICaptureIOApi* api = driver->GetDigitalIO();
        if (api == nullptr || !api->SetCallback(&io) || !api->StartIO()) {
            failed = "the digital I/O did not start";
        } else {
            // An output request in flight at the close, as a host may leave one.
            api->ChangeOutputState(0, index % 2 == 0 ? 2 : 1);
            // The first poll reports the input's state.
            if (!WaitFor(io.reports, 1, kFirstEventMs)) failed = "no input report";
        }
        // Closed with the I/O running.
    } else if (auto* capture = driver->GetVideoCaptureEx2()) {
        HostStreamSettings settings(MakeStreamRequest(o.stream));
        if (!capture->StartStream(o.stream.input, uint32_t(StreamChoice::kLive), &sink,
                                  &settings)) {
            failed = "the stream did not start";
        } else {
            if (!sink.WaitForFrames(1, kFirstEventMs)) failed = "no frame";
            capture->StopStream(o.stream.input, uint32_t(StreamChoice::kLive));
        }
    } else {
        failed = "the driver has no video capture object";
    }
    driver->Close();
    factory.destroy(driver);
    totals->frames += sink.FrameCount();
    totals->signalLosses += sink.SignalLostCount();
    totals->ioFailures += uint64_t(io.failures.load());
    return failed;
}

// What the process holds once the threads a stop released are gone: waits
// up to limitMs until no more threads than `limit` run, then up to a second
// for their handles to go too.
ProcessUsage Settled(const ProcessUsage& limit, int limitMs) {
    const auto start = std::chrono::steady_clock::now();
    ProcessUsage now = ReadProcessUsage();
    for (int handlesMs = 0; (now.threads > limit.threads || now.handles > limit.handles);) {
        const auto waited = std::chrono::steady_clock::now() - start;
        if (now.threads <= limit.threads) handlesMs += 50;
        if (waited >= std::chrono::milliseconds(limitMs) || handlesMs > 1000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now = ReadProcessUsage();
    }
    return now;
}

std::string UsageJson(const char* prefix, const ProcessUsage& u) {
    char text[160];
    std::snprintf(text, sizeof(text),
                  "\"%s_address_space_kb\":%llu,\"%s_threads\":%u,\"%s_handles\":%u", prefix,
                  static_cast<unsigned long long>(u.addressSpaceMb * 1024 + 0.5), prefix, u.threads,
                  prefix, u.handles);
    return text;
}

std::string Usage(const std::vector<Flag>& flags) {
    return "usage: talvik-host soak --address A [flags of open] [--codec jpeg|h264]\n"
           "                        [--interval MS] [--size WxH] [--io] [--cycles N]\n"
           "                        [--warm-up N] [--json] [--module PATH]\n\n"
           "Loads the module once, then per cycle makes a driver, opens the device, starts\n"
           "the live stream (or with --io the digital I/O), waits for the first frame (the\n"
           "first input report), stops, closes and destroys the driver. After the warm-up\n"
           "cycles and at the end, once the threads a stop released are gone, it reads\n"
           "what the process holds: address space (private regions, reserved or\n"
           "committed), threads and handles. Exit code 0 when every cycle got its frame,\n"
           "1 at the first that did not.\n\n" +
           FlagHelp(flags) +
           "\nexample:\n"
           "  talvik-host soak --address 10.0.0.5 --codec h264 --cycles 300 --json\n";
}

int Run(int argc, char** argv, int first) {
    SoakOptions o;
    o.stream.width = 320;
    o.stream.height = 180;
    std::vector<Flag> flags;
    // The device and stream flags of `record`, less those of a recording.
    for (Flag& f : RecordFlags(&o.stream)) {
        bool keep = true;
        for (const char* drop : {"--stream", "--duration", "--out", "--json", "--discard",
                                 "--streams", "--slow-host", "--usage-every"})
            keep = keep && std::strcmp(f.name, drop) != 0;
        if (keep) flags.push_back(f);
    }
    flags.push_back({"--cycles", "N", "counted cycles after the warm-up (default 30)",
                     [&o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 1000000, &o.cycles) || o.cycles == 0)
                             return "'" + v + "' is not 1 to 1000000";
                         return "";
                     }});
    flags.push_back({"--warm-up", "N",
                     "cycles before the reference figures (default a tenth of --cycles, "
                     "at least 1)",
                     [&o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 1000000, &o.warmUp) || o.warmUp == 0)
                             return "'" + v + "' is not 1 to 1000000";
                         return "";
                     }});
    flags.push_back({"--io", nullptr, "cycle the digital I/O instead of a stream",
                     [&o](const std::string&) -> std::string {
                         o.io = true;
                         return "";
                     }});
    flags.push_back({"--json", nullptr, "the figures as one JSON object on stdout",
                     [&o](const std::string&) -> std::string {
                         o.json = true;
                         return "";
                     }});
    const int read = ReadCommandLine("soak", flags, &Usage, argc, argv, first);
    if (read != kContinue) return read;
    o.stream.device.defaultCodec = o.stream.codec;
    if (o.io) {
        o.stream.device.digitalInputs = std::max(o.stream.device.digitalInputs, 1u);
        o.stream.device.digitalOutputs = std::max(o.stream.device.digitalOutputs, 1u);
    }
    if (o.warmUp == 0) o.warmUp = std::max(1u, o.cycles / 10);

    HostSession host;
    std::string error;
    if (!host.Load(o.stream.modulePath, &error)) {
        std::fprintf(stderr, "talvik-host soak: %s\n", error.c_str());
        return kExitFailed;
    }
    const ProcessUsage loaded = ReadProcessUsage();
    CycleTotals totals;
    ProcessUsage peak, reference, end;
    PeakSampler sampler;
    uint32_t done = 0;
    double msPerCycle = 0;
    for (uint32_t i = 0; i < o.warmUp && error.empty(); ++i, ++done) {
        error = Cycle(host, o, i, &totals);
    }
    if (error.empty()) {
        // The module's own state (name lookup, library set-up) is in place
        // after the warm-up; the cycles' threads end by themselves.
        // The module may keep handles of its own from the first use on
        // (sockets library, name lookup): only the threads must be back.
        reference = Settled(loaded, kReferenceSettleMs);
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < o.cycles && error.empty(); ++i, ++done) {
            error = Cycle(host, o, o.warmUp + i, &totals);
        }
        msPerCycle =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count() /
            std::max(1u, done - o.warmUp);
        end = Settled(reference, kSettleMs);
    }
    peak = sampler.Stop();
    if (!error.empty()) error = "cycle " + std::to_string(done) + ": " + error;
    const bool ok = error.empty();
    if (o.json) {
        std::printf(
            "{\"cycles\":%u,\"warm_up\":%u,\"done\":%u,\"frames\":%llu,"
            "\"signal_losses\":%llu,\"io_failures\":%llu,\"ms_per_cycle\":%.0f,"
            "\"frames_created\":%llu,\"frames_released\":%llu,%s,%s,%s,%s,"
            "\"error\":\"%s\"}\n",
            o.cycles, o.warmUp, done, static_cast<unsigned long long>(totals.frames),
            static_cast<unsigned long long>(totals.signalLosses),
            static_cast<unsigned long long>(totals.ioFailures), msPerCycle,
            static_cast<unsigned long long>(host.allocator.Created()),
            static_cast<unsigned long long>(host.allocator.Released()),
            UsageJson("loaded", loaded).c_str(), UsageJson("ref", reference).c_str(),
            UsageJson("end", end).c_str(), UsageJson("peak", peak).c_str(), error.c_str());
    } else {
        std::printf(
            "%u cycles (%u warm-up), %.0f ms per cycle, %llu frames, %llu signal losses\n"
            "after the warm-up: %s\nat the end:       %s\n%s%s",
            done, o.warmUp, msPerCycle, static_cast<unsigned long long>(totals.frames),
            static_cast<unsigned long long>(totals.signalLosses),
            PeakText(reference).c_str() + std::strlen("process peak: "),
            PeakText(end).c_str() + std::strlen("process peak: "), error.c_str(), ok ? "" : "\n");
    }
    std::fflush(stdout);
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

Command SoakCommand() {
    return {"soak", "open, start, stop and close over and over; what the process holds", &Run};
}

}  // namespace talvik_host

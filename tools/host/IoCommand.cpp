// `talvik-host io`: opens a device, starts its digital I/O, prints every input
// change and I/O failure with a time stamp, requests the output changes given
// on the command line in order, watches for a while and stops the I/O.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "ModuleLoader.h"
#include "Platform.h"
#include "talvik/CaptureIO.h"

namespace talvik_host {

namespace {

constexpr uint32_t kInactive = 1;
constexpr uint32_t kActive = 2;
constexpr uint32_t kMaxWatchSeconds = 86400;

std::atomic<bool> g_interrupted{false};

// "2026-12-06 10:20:01.123" in UTC.
std::string Timestamp() {
    tm parts{};
    uint32_t milliseconds = 0;
    UtcNow(&parts, &milliseconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03u", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  unsigned(milliseconds));
    return text;
}

const char* StateText(uint32_t state) {
    switch (state) {
        case kInactive:
            return "inactive";
        case kActive:
            return "active";
        default:
            return "unknown";
    }
}

// Prints one time-stamped line per event; the module calls it from its I/O
// threads while the main thread prints too.
class EventPrinter : public talvik::ICaptureIOCallback {
public:
    void OnInputStateChanged(uint32_t index, uint32_t state) override {
        Print("input " + std::to_string(index) + " " + StateText(state));
    }
    void OnIOFailure() override {
        ++failures_;
        Print("I/O failure");
    }

    void Print(const std::string& text) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::printf("%s %s\n", Timestamp().c_str(), text.c_str());
        std::fflush(stdout);
    }
    int Failures() const { return failures_.load(); }

private:
    std::mutex mutex_;
    std::atomic<int> failures_{0};
};

struct IoOptions {
    uint32_t watchSeconds = 5;
    std::vector<std::pair<uint32_t, uint32_t>> changes;  // (index, state) in order
};

std::vector<Flag> IoFlags(IoOptions* options) {
    std::vector<Flag> flags;
    flags.push_back({"--watch", "S",
                     "seconds to watch after the output requests (default 5; Ctrl-C ends early)",
                     [options](const std::string& v) -> std::string {
                         if (!ParseNumber(v, kMaxWatchSeconds, &options->watchSeconds))
                             return "'" + v + "' is not a number of seconds from 0 to " +
                                    std::to_string(kMaxWatchSeconds);
                         return "";
                     }});
    Flag set{"--set", "INDEX=active|inactive",
             "output change to request (repeatable; applied in the order given)",
             [options](const std::string& v) -> std::string {
                 const size_t eq = v.find('=');
                 uint32_t index = 0;
                 if (eq == std::string::npos || !ParseNumber(v.substr(0, eq), 1000, &index))
                     return "'" + v + "' is not INDEX=active or INDEX=inactive";
                 const std::string state = v.substr(eq + 1);
                 if (state == "active") {
                     options->changes.emplace_back(index, kActive);
                 } else if (state == "inactive") {
                     options->changes.emplace_back(index, kInactive);
                 } else {
                     return "'" + state + "' is neither active nor inactive";
                 }
                 return "";
             }};
    set.repeatable = true;
    flags.push_back(set);
    return flags;
}

std::string Usage(const std::vector<Flag>& flags) {
    return "usage: talvik-host io --address A [flags of open] [--watch S]\n"
           "                      [--set INDEX=active|inactive]... [--module PATH]\n\n"
           "Opens the device, starts its digital I/O and prints to stdout, each with a UTC\n"
           "time stamp, every input change and every I/O failure the module reports. The\n"
           "--set requests are handed to the module in the order given; the module writes\n"
           "them to the camera in the background, so give --watch enough time for them:\n"
           "requests still waiting when the I/O stops are dropped. The device has one\n"
           "input and one output unless --inputs or --outputs say otherwise. Driver\n"
           "messages go to stderr. Exit code 0 when the I/O started and stopped without a\n"
           "failure, 1 otherwise.\n\n" +
           FlagHelp(flags) +
           "\nexample:\n"
           "  talvik-host io --address 10.0.0.5 --set 0=active --set 0=inactive --watch 10\n";
}

// Waits for the watch time or an interrupt.
void Watch(uint32_t seconds) {
    g_interrupted = false;
    CatchInterrupts(&g_interrupted);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_interrupted && std::chrono::steady_clock::now() < deadline)
        WaitForInterrupt(50);
    StopCatchingInterrupts();
}

int RunIo(talvik::ipcapture::ICaptureIOApi* io, const IoOptions& options) {
    EventPrinter printer;
    io->SetCallback(&printer);
    const uint32_t inputs = io->GetInputCount();
    const uint32_t outputs = io->GetOutputCount();
    bool ok = io->StartIO();
    printer.Print(std::string(ok ? "I/O started" : "I/O start failed") + ": " +
                  std::to_string(inputs) + " input(s), " + std::to_string(outputs) + " output(s)");
    for (const auto& change : options.changes) {
        if (change.first >= outputs)
            std::fprintf(stderr,
                         "talvik-host io: output %u is beyond the device's %u output(s); the "
                         "module ignores it\n",
                         change.first, outputs);
        const bool queued = io->ChangeOutputState(change.first, change.second);
        printer.Print("output " + std::to_string(change.first) + " " + StateText(change.second) +
                      (queued ? " requested" : " refused"));
        ok = ok && queued;
    }
    Watch(options.watchSeconds);
    const bool stopped = io->StopIO();
    printer.Print(stopped ? "I/O stopped" : "I/O stop failed");
    return ok && stopped && printer.Failures() == 0 ? kExitOk : kExitFailed;
}

int Run(int argc, char** argv, int first) {
    std::string modulePath;
    DeviceDescription description;
    description.digitalInputs = 1;
    description.digitalOutputs = 1;
    IoOptions options;
    std::vector<Flag> flags = DeviceFlags(&description);
    for (Flag& flag : flags) {
        if (std::strcmp(flag.name, "--inputs") == 0)
            flag.meaning = "number of digital inputs (default 1)";
        if (std::strcmp(flag.name, "--outputs") == 0)
            flag.meaning = "number of digital outputs (default 1)";
    }
    for (Flag& flag : IoFlags(&options))
        flags.push_back(std::move(flag));
    flags.push_back(ModuleFlag(&modulePath));
    const int read = ReadCommandLine("io", flags, &Usage, argc, argv, first);
    if (read != kContinue) return read;

    HostSession host;
    std::string error;
    if (!host.Load(modulePath, &error)) {
        std::fprintf(stderr, "talvik-host io: %s\n", error.c_str());
        return kExitFailed;
    }
    HostDevice device(description);
    const DriverFactory& factory = host.module.Factories().back();
    talvik::ipcapture::IIPCaptureDriver* driver = factory.create();
    if (driver == nullptr) {
        std::fprintf(stderr, "talvik-host io: %s returned no driver\n", factory.createName);
        return kExitFailed;
    }
    int result = kExitFailed;
    if (!driver->Open(&host.debugSink, &host.allocator, &device)) {
        std::fprintf(stderr, "talvik-host io: the device could not be opened\n");
    } else if (talvik::ipcapture::ICaptureIOApi* io = driver->GetDigitalIO()) {
        result = RunIo(io, options);
    } else {
        std::fprintf(stderr, "talvik-host io: the driver has no digital I/O object\n");
    }
    driver->Close();
    factory.destroy(driver);
    return result;
}

}  // namespace

Command IoCommand() {
    return {"io", "watch the digital inputs and set the outputs of a device", &Run};
}

}  // namespace talvik_host

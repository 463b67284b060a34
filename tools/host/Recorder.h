// One recording session of the reference host: loads the module, opens the
// device, starts one stream, writes every frame to disk (or only counts it)
// and stops. Shared by `record` and `demo`.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "HostObjects.h"
#include "Options.h"
#include "PeakSampler.h"
#include "Platform.h"

namespace talvik_host {

enum class StreamChoice : uint32_t { kRec = 0, kLive = 1, kRemote = 2 };

struct RecordOptions {
    std::string modulePath;
    DeviceDescription device;
    uint32_t input = 0;
    StreamChoice stream = StreamChoice::kRec;
    uint32_t codec = 1;  // 1 JPEG, 3 H.264
    uint32_t intervalMs = 40;
    uint32_t width = 640;
    uint32_t height = 360;
    uint32_t quality = 50;
    double durationS = 10;  // 0: until interrupted
    std::string outDir = ".";
    bool discard = false;  // count frames, write nothing
    bool json = false;     // progress to stderr, summary as JSON on stdout
    bool progress = true;  // live progress line or plain lines
    std::string label;     // file name stem; empty: from stream, input and codec
    uint32_t streams = 1;  // above 1: that many drivers in one process, counting only
    // A slow host: OnFrame blocks slowHostMs (0: never) at every
    // slowHostEvery-th frame, or once at the first frame when slowHostEvery is 0.
    uint32_t slowHostMs = 0;
    uint32_t slowHostEvery = 0;
    // Above 0: every that many seconds, one line "usage {...}" on stderr with
    // the frames so far and what the process holds now (long runs).
    uint32_t usageEveryS = 0;
};

struct RecordSummary {
    std::string label;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    double seconds = 0;  // from the start call to the stop call
    double stopS = -1;   // how long the stop (and in `--streams` the close) took; -1: none
    uint64_t signalLosses = 0;
    std::string fourcc;
    uint32_t width = 0;
    uint32_t height = 0;
    std::string firstFrameUtc;
    double firstFrameS = -1;  // from the start call to the first frame; -1: none
    std::string lastFrameUtc;
    std::string videoFile;  // empty with --discard
    std::string csvFile;
    std::string status;  // last channel status seen
    std::string error;   // why the session could not run; empty when it ran
    // How late each frame arrived against the camera's send schedule (the
    // n-th frame sent n intervals after the first), above the earliest
    // frame, in ms: median and highest. Holds for a camera that sends at
    // exactly the interval and loses no frame, as camsim on one machine.
    double latencyP50Ms = 0;
    double latencyMaxMs = 0;
    ProcessUsage peak;              // the process's highest figures while the stream ran
    bool slowHost = false;          // --slow-host given: the two figures below go in the JSON
    uint64_t stalls = 0;            // OnFrame calls that blocked
    uint64_t framesAfterStall = 0;  // frames whose OnFrame began after the last stall ended

    double Fps() const { return seconds > 0 ? double(frames) / seconds : 0; }
    double KbitPerS() const { return seconds > 0 ? double(bytes) * 8 / 1000 / seconds : 0; }
    std::string Json() const;
    std::string Text() const;
    // ",\"stop_s\":S"; empty when nothing was stopped.
    std::string StopJson() const;
    // The slow host's figures as JSON members (",..."); empty without --slow-host.
    std::string SlowHostJson() const;
};

// The latency figures of a stream's frames; the caller serialises the calls.
class FrameLatency {
public:
    explicit FrameLatency(uint32_t intervalMs) : intervalMs_(intervalMs) {}
    // The next frame arrives now.
    void Add();
    void Fill(RecordSummary* s) const;

private:
    static constexpr size_t kMaxSamples = 1 << 20;
    uint32_t intervalMs_;
    std::chrono::steady_clock::time_point first_{};
    std::vector<double> lateMs_;  // arrival minus the schedule, from the first
};

// Set by SIGINT/SIGTERM (see InstallStopSignals): ends a session early.
extern std::atomic<bool> g_stopRequested;
// Waits up to `seconds` for SIGINT or SIGTERM (after InstallStopSignals);
// true once one has arrived.
// StartVideo's 16-bit frame interval: the top two bits give the unit (ms,
// s, min or h), the rest the count.
uint32_t EncodeInterval(uint32_t ms);
// The stream the options ask for; the interval encoded for StartVideo (the
// recording stream), as it is for StartStream.
StreamRequest MakeStreamRequest(const RecordOptions& options);

bool WaitForStopSignal(double seconds);
// The figures as JSON members ("address_space_mb", "threads", "handles") and
// as a line of text.
std::string PeakJson(const ProcessUsage& peak);
std::string PeakText(const ProcessUsage& peak);
// The line --usage-every prints: seconds since the start, frames, signal
// losses and the process's figures now.
std::string UsageLine(double elapsedS, const RecordSummary& now, const ProcessUsage& usage);
void InstallStopSignals();

// Runs one session; the summary tells what happened. Returns false when the
// session could not be run at all (module, device, stream start, files).
bool RunRecording(const RecordOptions& options, RecordSummary* summary);

// Runs `options.streams` drivers for the same device in this process, each
// starting the same stream and counting its frames (nothing is written).
// One summary per stream, labelled LABEL_sK. False with a reason when no
// stream could be started.
bool RunRecordings(const RecordOptions& options, std::vector<RecordSummary>* summaries,
                   ProcessUsage* peak, std::string* error);
// Totals, the process's peak figures and the per-stream summaries, as one
// JSON object or as text.
std::string StreamsJson(const std::vector<RecordSummary>& summaries, const ProcessUsage& peak,
                        const std::string& error);
std::string StreamsText(const std::vector<RecordSummary>& summaries, const ProcessUsage& peak,
                        const std::string& error);

// The flags of `record` (the device flags of `open` with --codec naming the
// stream's codec, and the stream flags).
std::vector<Flag> RecordFlags(RecordOptions* options);

}  // namespace talvik_host

// `record --streams N`: N drivers for the same device in one process, each
// with its own stream, counting frames only. Used to see what many cameras
// cost one recording server (CPU, memory, threads per stream).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "ModuleLoader.h"
#include "Recorder.h"
#include "talvik/IPCaptureDriver.h"
#include "talvik/IPVideoCapture.h"

namespace talvik_host {

namespace {

// Counts frames and bytes; called on the module's delivering threads. With
// --slow-host every stream's OnFrame blocks, as a host that stalls does.
class CountingSink : public talvik::IHostFrameSink {
public:
    CountingSink(uint32_t intervalMs, uint32_t stallMs, uint32_t stallEvery)
        : latency_(intervalMs), stallMs_(stallMs), stallEvery_(stallEvery) {}
    bool OnFrame(talvik::IHostFrame* frame) override {
        if (frame == nullptr) return false;
        const uint32_t size = std::min(frame->GetDataSize(), frame->GetBufferSize());
        std::unique_lock<std::mutex> guard(mutex_);
        latency_.Add();
        ++frames_;
        bytes_ += size;
        fourcc_ = frame->GetFourCC();
        width_ = frame->GetWidth();
        height_ = frame->GetHeight();
        if (stalls_ > 0) ++framesAfterStall_;
        if (stallMs_ == 0 || (stallEvery_ == 0 ? frames_ != 1 : frames_ % stallEvery_ != 0))
            return true;
        guard.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(stallMs_));
        guard.lock();
        ++stalls_;
        framesAfterStall_ = 0;
        return true;
    }
    void OnSignalLost() override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++losses_;
    }
    // The frame count alone, for the progress line (see Fill's latency).
    uint64_t Frames() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return frames_;
    }
    void Fill(RecordSummary* s) const {
        std::lock_guard<std::mutex> guard(mutex_);
        s->frames = frames_;
        s->bytes = bytes_;
        s->signalLosses = losses_;
        s->fourcc = frames_ > 0 ? FourCCText(fourcc_) : "";
        s->width = width_;
        s->height = height_;
        s->slowHost = stallMs_ > 0;
        s->stalls = stalls_;
        s->framesAfterStall = framesAfterStall_;
        latency_.Fill(s);
    }

private:
    mutable std::mutex mutex_;
    FrameLatency latency_;
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    uint64_t losses_ = 0;
    uint32_t fourcc_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    const uint32_t stallMs_;
    const uint32_t stallEvery_;
    uint64_t stalls_ = 0;
    uint64_t framesAfterStall_ = 0;
};

// Stream `i` of `--address A1,A2,...`: the addresses take turns, so that
// several simulators can share the streams of one process.
DeviceDescription DeviceOfStream(DeviceDescription d, uint32_t i) {
    std::vector<std::string> addresses;
    for (size_t from = 0; from <= d.address.size();) {
        const size_t comma = std::min(d.address.find(',', from), d.address.size());
        addresses.push_back(d.address.substr(from, comma - from));
        from = comma + 1;
    }
    d.address = addresses[i % addresses.size()];
    return d;
}

struct Stream {
    Stream(const DeviceDescription& d, const RecordOptions& o)
        : device(d), sink(o.intervalMs, o.slowHostMs, o.slowHostEvery) {}
    HostDevice device;
    CountingSink sink;
    talvik::ipcapture::IIPCaptureDriverEx5* driver = nullptr;
    talvik::ipcapture::IIPVideoCaptureEx2* capture = nullptr;
    bool started = false;
};

using Streams = std::vector<std::unique_ptr<Stream>>;

// One driver per stream, each opened and its stream started; the number started.
size_t StartStreams(const RecordOptions& o, HostSession& host, Streams& streams) {
    const DriverFactory& factory = host.module.Factories().back();
    const bool recording = o.stream == StreamChoice::kRec;
    HostStreamSettings settings(MakeStreamRequest(o));
    size_t started = 0;
    for (uint32_t i = 0; i < o.streams; ++i) {
        streams.push_back(std::make_unique<Stream>(DeviceOfStream(o.device, i), o));
        Stream& s = *streams.back();
        s.driver = static_cast<talvik::ipcapture::IIPCaptureDriverEx5*>(factory.create());
        if (s.driver == nullptr) continue;
        if (!s.driver->Open(&host.debugSink, &host.allocator, &s.device)) continue;
        s.capture = s.driver->GetVideoCaptureEx2();
        if (s.capture == nullptr) continue;
        s.started = recording
                        ? s.capture->StartVideo(o.input, &s.sink, &settings)
                        : s.capture->StartStream(o.input, uint32_t(o.stream), &s.sink, &settings);
        if (s.started) ++started;
    }
    return started;
}

// Until the duration is over or a stop signal comes, with a progress line a
// second when asked for; the seconds it ran.
double WatchStreams(const RecordOptions& o, const Streams& streams, size_t started) {
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    FILE* progress = o.json ? stderr : stdout;
    double lastShown = 0;
    while (started > 0 && !g_stopRequested && (o.durationS <= 0 || elapsed() < o.durationS)) {
        WaitForStopSignal(o.durationS > 0 ? std::min(kSampleS, o.durationS - elapsed()) : kSampleS);
        if (o.progress && elapsed() - lastShown >= 1.0) {
            lastShown = elapsed();
            uint64_t frames = 0;
            for (const auto& s : streams)
                frames += s->sink.Frames();
            std::fprintf(progress, "%6.1fs  %zu streams  frames %llu\n", lastShown, started,
                         static_cast<unsigned long long>(frames));
            std::fflush(progress);
        }
    }
    return elapsed();
}

}  // namespace

bool RunRecordings(const RecordOptions& o, std::vector<RecordSummary>* summaries,
                   ProcessUsage* peak, std::string* error) {
    summaries->clear();
    *peak = ProcessUsage();
    HostSession host;
    if (!host.Load(o.modulePath, error)) return false;
    const DriverFactory& factory = host.module.Factories().back();
    PeakSampler sampler;
    Streams streams;
    const size_t started = StartStreams(o, host, streams);
    const double seconds = WatchStreams(o, streams, started);
    // Sampling costs the wineserver time that the stops would wait for; the
    // figures do not rise while streams stop.
    *peak = sampler.Stop();

    const bool recording = o.stream == StreamChoice::kRec;
    const std::string stem = std::string(o.stream == StreamChoice::kRec    ? "rec"
                                         : o.stream == StreamChoice::kLive ? "live"
                                                                           : "remote") +
                             "_in" + std::to_string(o.input) + (o.codec == 3 ? "_h264" : "_jpeg");
    for (size_t i = 0; i < streams.size(); ++i) {
        Stream& s = *streams[i];
        const auto stop = std::chrono::steady_clock::now();
        if (s.started) {
            if (recording)
                s.capture->StopVideo(o.input);
            else
                s.capture->StopStream(o.input, uint32_t(o.stream));
        }
        if (s.driver != nullptr) {
            s.driver->Close();
            factory.destroy(s.driver);
        }
        RecordSummary summary;
        summary.label = stem + "_s" + std::to_string(i + 1);
        summary.seconds = s.started ? seconds : 0;
        summary.status = s.started ? "stopped" : "not started";
        if (s.started) {
            summary.stopS =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
        }
        s.sink.Fill(&summary);
        summaries->push_back(summary);
    }
    if (started == 0) *error = "no stream started (codec, input or interval not served)";
    return started > 0;
}

std::string StreamsJson(const std::vector<RecordSummary>& summaries, const ProcessUsage& peak,
                        const std::string& error) {
    uint64_t frames = 0, bytes = 0, losses = 0;
    size_t started = 0;
    double seconds = 0, stopS = 0;
    std::string each;
    for (const RecordSummary& s : summaries) {
        frames += s.frames;
        bytes += s.bytes;
        losses += s.signalLosses;
        if (s.status != "not started") ++started;
        seconds = std::max(seconds, s.seconds);
        stopS += std::max(s.stopS, 0.0);
        each += (each.empty() ? "" : ",") + s.Json();
    }
    char numbers[300];
    // The streams stop one after the other: stop_s is the time of them all.
    std::snprintf(numbers, sizeof(numbers),
                  "{\"streams\":%zu,\"started\":%zu,\"frames\":%llu,\"bytes\":%llu,"
                  "\"seconds\":%.3f,\"stop_s\":%.3f,\"signal_losses\":%llu,",
                  summaries.size(), started, static_cast<unsigned long long>(frames),
                  static_cast<unsigned long long>(bytes), seconds, stopS,
                  static_cast<unsigned long long>(losses));
    std::string errorText;
    for (char c : error) {
        if (c == '"' || c == '\\') errorText += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) errorText += c;
    }
    return numbers + PeakJson(peak) + ",\"error\":\"" + errorText + "\",\"per_stream\":[" + each +
           "]}";
}

std::string StreamsText(const std::vector<RecordSummary>& summaries, const ProcessUsage& peak,
                        const std::string& error) {
    uint64_t frames = 0, losses = 0;
    std::string out;
    for (const RecordSummary& s : summaries) {
        frames += s.frames;
        losses += s.signalLosses;
        out += s.Text() + "\n";
    }
    out += std::to_string(summaries.size()) + " streams: " + std::to_string(frames) + " frames, " +
           std::to_string(losses) + " signal losses\n" + PeakText(peak);
    if (!error.empty()) out += "\n  error: " + error;
    return out;
}

}  // namespace talvik_host

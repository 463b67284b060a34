#include "Recorder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "Commands.h"
#include "ModuleLoader.h"
#include "Platform.h"
#include "talvik/IPCaptureDriver.h"
#include "talvik/IPVideoCapture.h"

namespace talvik_host {

std::atomic<bool> g_stopRequested{false};

namespace {

std::string TimeText(const talvik::HostSystemTime& t) {
    char text[64];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.milliseconds);
    return text;
}

std::string NowText() {
    tm utc{};
    uint32_t milliseconds = 0;
    UtcNow(&utc, &milliseconds);
    talvik::HostSystemTime t;
    t.year = uint16_t(utc.tm_year + 1900);
    t.month = uint16_t(utc.tm_mon + 1);
    t.day = uint16_t(utc.tm_mday);
    t.hour = uint16_t(utc.tm_hour);
    t.minute = uint16_t(utc.tm_min);
    t.second = uint16_t(utc.tm_sec);
    t.milliseconds = uint16_t(milliseconds);
    return TimeText(t);
}

std::string JsonText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* StreamWord(StreamChoice s) {
    switch (s) {
        case StreamChoice::kRec:
            return "rec";
        case StreamChoice::kLive:
            return "live";
        case StreamChoice::kRemote:
            return "remote";
    }
    return "rec";
}

std::string StatusText(uint32_t status) {
    switch (status) {
        case 0:
            return "streaming";
        case 2:
            return "lost/stopped";
        default:
            return "failed(" + std::to_string(status) + ")";
    }
}

// Writes every accepted frame to the video file and a CSV line; called on the
// module's delivering thread while the main thread reads the counters.
class RecordingSink : public talvik::IHostFrameSink {
public:
    RecordingSink(FILE* video, FILE* csv, uint32_t intervalMs, uint32_t stallMs = 0,
                  uint32_t stallEvery = 0)
        : video_(video),
          csv_(csv),
          stallMs_(stallMs),
          stallEvery_(stallEvery),
          latency_(intervalMs) {}

    bool OnFrame(talvik::IHostFrame* frame) override {
        if (frame == nullptr) return false;
        const uint8_t* data = frame->GetBuffer();
        const uint32_t size = std::min(frame->GetDataSize(), frame->GetBufferSize());
        talvik::HostSystemTime time;
        frame->GetTime(&time);
        std::unique_lock<std::mutex> guard(mutex_);
        if (video_ != nullptr && data != nullptr && size > 0) WriteVideo(frame, data, size);
        if (csv_ != nullptr) {
            std::fprintf(csv_, "%llu,%s,%s,%s,%u,%u,%u\n", static_cast<unsigned long long>(frames_),
                         TimeText(time).c_str(), NowText().c_str(),
                         FourCCText(frame->GetFourCC()).c_str(), frame->GetWidth(),
                         frame->GetHeight(), size);
        }
        // Texts are made when asked for: a discarding benchmark run measures
        // the module, not this sink's formatting.
        latency_.Add();
        if (frames_ == 0) {
            first_ = time;
            firstArrival_ = std::chrono::steady_clock::now();
        }
        ++frames_;
        bytes_ += size;
        fourcc_ = frame->GetFourCC();
        width_ = frame->GetWidth();
        height_ = frame->GetHeight();
        last_ = time;
        lostSinceFrame_ = false;
        if (stalls_ > 0) ++framesAfterStall_;
        const bool stall =
            stallMs_ > 0 && (stallEvery_ == 0 ? frames_ == 1 : frames_ % stallEvery_ == 0);
        if (!stall) return true;
        // The counters stay readable while the module's thread is held here.
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
        lostSinceFrame_ = true;
    }

    // The counters alone, for the progress line: the latency figures copy and
    // sort every frame's sample, a cost that grows with the run, and would
    // hold the module's delivering thread at the lock four times a second.
    void FillCounts(RecordSummary* s) const {
        std::lock_guard<std::mutex> guard(mutex_);
        s->frames = frames_;
        s->bytes = bytes_;
        s->signalLosses = losses_;
    }

    // `start`: when the stream was started, for the time to the first frame.
    void Fill(RecordSummary* s, std::chrono::steady_clock::time_point start = {}) const {
        std::lock_guard<std::mutex> guard(mutex_);
        s->frames = frames_;
        s->bytes = bytes_;
        s->signalLosses = losses_;
        if (frames_ > 0 && start != std::chrono::steady_clock::time_point())
            s->firstFrameS = std::chrono::duration<double>(firstArrival_ - start).count();
        s->fourcc = frames_ > 0 ? FourCCText(fourcc_) : std::string();
        s->width = width_;
        s->height = height_;
        latency_.Fill(s);
        s->firstFrameUtc = frames_ > 0 ? TimeText(first_) : std::string();
        s->lastFrameUtc = frames_ > 0 ? TimeText(last_) : std::string();
        s->slowHost = stallMs_ > 0;
        s->stalls = stalls_;
        s->framesAfterStall = framesAfterStall_;
    }

    bool LostSinceFrame() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return lostSinceFrame_;
    }
    bool WriteFailed() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return writeFailed_;
    }

private:
    // An H.264 access unit of the module ends with a delimiter (00 00 01 09
    // and its picture-type byte) that opens the next one. It is written only
    // when a next frame follows, so that the file does not end in an empty
    // access unit.
    void WriteVideo(talvik::IHostFrame* frame, const uint8_t* data, uint32_t size) {
        static const uint8_t kDelimiterStart[] = {0x00, 0x00, 0x01, 0x09};
        const uint32_t fourcc = frame->GetFourCC();
        const bool h264 = fourcc == talvik::kFourCCH264 || fourcc == talvik::kFourCCI264;
        if (delimiterPending_) {
            if (std::fwrite(pendingDelimiter_, 1, sizeof pendingDelimiter_, video_) !=
                sizeof pendingDelimiter_)
                writeFailed_ = true;
            delimiterPending_ = false;
        }
        const size_t n = sizeof pendingDelimiter_;
        if (h264 && size >= n &&
            std::memcmp(data + size - n, kDelimiterStart, sizeof kDelimiterStart) == 0) {
            std::memcpy(pendingDelimiter_, data + size - n, n);
            size -= uint32_t(n);
            delimiterPending_ = true;
        }
        if (std::fwrite(data, 1, size, video_) != size) writeFailed_ = true;
    }

    FILE* video_;
    FILE* csv_;
    const uint32_t stallMs_;
    const uint32_t stallEvery_;
    uint64_t stalls_ = 0;
    uint64_t framesAfterStall_ = 0;
    bool delimiterPending_ = false;
    uint8_t pendingDelimiter_[5] = {};
    mutable std::mutex mutex_;
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    uint64_t losses_ = 0;
    bool lostSinceFrame_ = false;
    bool writeFailed_ = false;
    uint32_t fourcc_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    talvik::HostSystemTime first_{};
    talvik::HostSystemTime last_{};
    std::chrono::steady_clock::time_point firstArrival_{};
    FrameLatency latency_;
};

struct Files {
    FILE* video = nullptr;
    FILE* csv = nullptr;
    ~Files() {
        if (video) std::fclose(video);
        if (csv) std::fclose(csv);
    }
};

class ProgressPrinter {
public:
    explicit ProgressPrinter(const RecordOptions& o)
        : out_(o.json ? stderr : stdout), tty_(IsTerminal(out_)), enabled_(o.progress) {}

    void Show(double seconds, const RecordSummary& now, const std::string& status) {
        if (!enabled_) return;
        const double dt = seconds - lastSeconds_;
        if (!tty_ && dt < 1.0) return;
        const double fps = dt > 0 ? double(now.frames - lastFrames_) / dt : 0;
        const double kbit = dt > 0 ? double(now.bytes - lastBytes_) * 8 / 1000 / dt : 0;
        char line[200];
        std::snprintf(line, sizeof(line),
                      "%6.1fs  frames %llu  %.1f fps  %.0f kbit/s  %s  signal losses %llu", seconds,
                      static_cast<unsigned long long>(now.frames), fps, kbit, status.c_str(),
                      static_cast<unsigned long long>(now.signalLosses));
        if (tty_) {
            std::fprintf(out_, "\r%s\x1b[K", line);
        } else {
            std::fprintf(out_, "%s\n", line);
        }
        std::fflush(out_);
        if (dt >= 1.0 || !tty_) {
            lastSeconds_ = seconds;
            lastFrames_ = now.frames;
            lastBytes_ = now.bytes;
        }
    }
    void End() {
        if (enabled_ && tty_) std::fputs("\n", out_);
    }
    bool Live() const { return enabled_ && tty_; }

private:
    FILE* out_;
    bool tty_;
    bool enabled_;
    double lastSeconds_ = 0;
    uint64_t lastFrames_ = 0;
    uint64_t lastBytes_ = 0;
};

}  // namespace

// StartVideo takes a 16-bit interval whose top two bits give the unit.
uint32_t EncodeInterval(uint32_t ms) {
    if (ms <= 0x3FFF) return ms;
    if (ms / 1000 <= 0x3FFF) return 0x4000 | (ms / 1000);
    if (ms / 60000 <= 0x3FFF) return 0x8000 | (ms / 60000);
    return 0xC000 | std::min<uint32_t>(ms / 3600000, 0x3FFF);
}

StreamRequest MakeStreamRequest(const RecordOptions& o) {
    StreamRequest request;
    request.width = o.width;
    request.height = o.height;
    request.codec = o.codec;
    request.quality = o.quality;
    request.frameInterval = o.stream == StreamChoice::kRec ? EncodeInterval(o.intervalMs)
                                                           : std::min(o.intervalMs, 0xFFFFu);
    return request;
}

bool WaitForStopSignal(double seconds) {
    if (g_stopRequested) return true;
    WaitForInterrupt(int(std::max(seconds, 0.0) * 1000) + 1);
    return g_stopRequested;
}

std::string PeakJson(const ProcessUsage& peak) {
    char text[120];
    std::snprintf(text, sizeof(text), "\"address_space_mb\":%.1f,\"threads\":%u,\"handles\":%u",
                  peak.addressSpaceMb, peak.threads, peak.handles);
    return text;
}

std::string UsageLine(double elapsedS, const RecordSummary& now, const ProcessUsage& usage) {
    char text[80];
    std::snprintf(text, sizeof(text), "usage {\"t\":%.0f,\"frames\":%llu,\"signal_losses\":%llu,",
                  elapsedS, static_cast<unsigned long long>(now.frames),
                  static_cast<unsigned long long>(now.signalLosses));
    return text + PeakJson(usage) + "}\n";
}

std::string PeakText(const ProcessUsage& peak) {
    char text[120];
    std::snprintf(text, sizeof(text),
                  "process peak: %.1f MiB address space, %u threads, %u handles",
                  peak.addressSpaceMb, peak.threads, peak.handles);
    return text;
}

void InstallStopSignals() {
    CatchInterrupts(&g_stopRequested);
}

void FrameLatency::Add() {
    const auto now = std::chrono::steady_clock::now();
    if (lateMs_.empty()) first_ = now;
    if (lateMs_.size() >= kMaxSamples) return;
    const double sinceFirst = std::chrono::duration<double, std::milli>(now - first_).count();
    lateMs_.push_back(sinceFirst - double(lateMs_.size()) * intervalMs_);
}

void FrameLatency::Fill(RecordSummary* s) const {
    if (lateMs_.empty()) return;
    std::vector<double> sorted = lateMs_;
    std::sort(sorted.begin(), sorted.end());
    s->latencyP50Ms = sorted[sorted.size() / 2] - sorted.front();
    s->latencyMaxMs = sorted.back() - sorted.front();
}

std::string RecordSummary::Json() const {
    char numbers[512];
    std::snprintf(numbers, sizeof(numbers),
                  "\"frames\":%llu,\"bytes\":%llu,\"seconds\":%.3f,\"fps\":%.2f,"
                  "\"kbit_per_s\":%.1f,\"signal_losses\":%llu,\"width\":%u,\"height\":%u,"
                  "\"first_frame_s\":%.3f,\"latency_ms_p50\":%.1f,\"latency_ms_max\":%.1f",
                  static_cast<unsigned long long>(frames), static_cast<unsigned long long>(bytes),
                  seconds, Fps(), KbitPerS(), static_cast<unsigned long long>(signalLosses), width,
                  height, firstFrameS, latencyP50Ms, latencyMaxMs);
    return "{\"label\":" + JsonText(label) + "," + numbers + ",\"fourcc\":" + JsonText(fourcc) +
           ",\"first_frame_utc\":" + JsonText(firstFrameUtc) +
           ",\"last_frame_utc\":" + JsonText(lastFrameUtc) + ",\"status\":" + JsonText(status) +
           ",\"video_file\":" + JsonText(videoFile) + ",\"csv_file\":" + JsonText(csvFile) +
           ",\"error\":" + JsonText(error) +
           (peak.threads > 0 ? "," + PeakJson(peak) : std::string()) + StopJson() + SlowHostJson() +
           "}";
}

std::string RecordSummary::StopJson() const {
    if (stopS < 0) return "";
    char text[32];
    std::snprintf(text, sizeof(text), ",\"stop_s\":%.3f", stopS);
    return text;
}

std::string RecordSummary::SlowHostJson() const {
    if (!slowHost) return "";
    return ",\"stalls\":" + std::to_string(stalls) +
           ",\"frames_after_stall\":" + std::to_string(framesAfterStall);
}

std::string RecordSummary::Text() const {
    char text[400];
    std::snprintf(text, sizeof(text),
                  "%s: %llu frames (%s %ux%u) in %.1f s, %.1f fps, %.0f kbit/s, %llu signal "
                  "losses, status %s",
                  label.c_str(), static_cast<unsigned long long>(frames),
                  fourcc.empty() ? "-" : fourcc.c_str(), width, height, seconds, Fps(), KbitPerS(),
                  static_cast<unsigned long long>(signalLosses), status.c_str());
    std::string out = text;
    if (!error.empty()) out += "\n  error: " + error;
    if (!videoFile.empty()) out += "\n  video: " + videoFile;
    if (!csvFile.empty()) out += "\n  frames: " + csvFile;
    if (peak.threads > 0) out += "\n  " + PeakText(peak);
    return out;
}

namespace {

std::string DefaultLabel(const RecordOptions& o) {
    return std::string(StreamWord(o.stream)) + "_in" + std::to_string(o.input) +
           (o.codec == 3 ? "_h264" : "_jpeg");
}

// The video and .csv files of the recording, the .csv with its header line.
bool OpenFiles(const RecordOptions& o, RecordSummary* summary, Files* files) {
    if (!MakeDirectories(o.outDir, &summary->error)) return false;
    const std::string stem = o.outDir + "/" + summary->label;
    summary->videoFile = stem + (o.codec == 3 ? ".h264" : ".mjpeg");
    summary->csvFile = stem + ".csv";
    files->video = std::fopen(summary->videoFile.c_str(), "wb");
    files->csv = std::fopen(summary->csvFile.c_str(), "w");
    if (files->video == nullptr || files->csv == nullptr) {
        summary->error = "cannot write " + summary->videoFile + ": " + std::strerror(errno);
        return false;
    }
    std::fputs("index,frame_time_utc,receive_time_utc,fourcc,width,height,bytes\n", files->csv);
    return true;
}

// Starts the stream, shows its progress until the duration is over or a stop
// signal comes, and stops it; false when it did not start. `startedAt`: when
// the start call was made, for the time to the first frame.
bool RecordStream(talvik::ipcapture::IIPVideoCaptureEx2* capture, const RecordOptions& o,
                  RecordingSink& sink, RecordSummary* summary,
                  std::chrono::steady_clock::time_point* startedAt) {
    const bool recording = o.stream == StreamChoice::kRec;
    HostStreamSettings settings(MakeStreamRequest(o));
    const auto start = std::chrono::steady_clock::now();
    *startedAt = start;
    const bool started = recording
                             ? capture->StartVideo(o.input, &sink, &settings)
                             : capture->StartStream(o.input, uint32_t(o.stream), &sink, &settings);
    if (!started) {
        summary->error = "the stream did not start (codec, input or interval not served)";
        return false;
    }
    ProgressPrinter progress(o);
    PeakSampler sampler(ReadProcessUsage, progress.Live() ? kSampleS : kQuietPeakSampleS);
    std::string status = "starting";
    double nextUsageS = 0;
    for (;;) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (g_stopRequested || (o.durationS > 0 && elapsed >= o.durationS)) break;
        RecordSummary now;
        sink.FillCounts(&now);
        uint32_t code = 0, second = 0;
        if (recording && capture->GetVideoStatus(o.input, &code, &second, nullptr, 0)) {
            status = StatusText(code);
        } else if (!recording) {
            status =
                sink.LostSinceFrame() ? "signal lost" : (now.frames > 0 ? "streaming" : "waiting");
        }
        progress.Show(elapsed, now, status);
        if (o.usageEveryS > 0 && elapsed >= nextUsageS) {
            nextUsageS += o.usageEveryS;
            std::fputs(UsageLine(elapsed, now, ReadProcessUsage()).c_str(), stderr);
            std::fflush(stderr);
        }
        // The printer keeps plain lines to one a second; a signal wakes the
        // wait at once.
        const double period = progress.Live() ? kSampleS : kQuietSampleS;
        const double left = o.durationS > 0 ? o.durationS - elapsed : period;
        WaitForStopSignal(std::min(period, left));
    }
    progress.End();
    summary->status = status;
    summary->peak = sampler.Stop();
    const auto stop = std::chrono::steady_clock::now();
    summary->seconds = std::chrono::duration<double>(stop - start).count();
    if (recording)
        capture->StopVideo(o.input);
    else
        capture->StopStream(o.input, uint32_t(o.stream));
    summary->stopS = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
    return true;
}

}  // namespace

bool RunRecording(const RecordOptions& o, RecordSummary* summary) {
    *summary = RecordSummary();
    summary->label = o.label.empty() ? DefaultLabel(o) : o.label;
    Files files;
    if (!o.discard && !OpenFiles(o, summary, &files)) return false;

    HostSession host;
    if (!host.Load(o.modulePath, &summary->error)) return false;
    const DriverFactory& factory = host.module.Factories().back();
    HostDevice device(o.device);
    RecordingSink sink(files.video, files.csv, o.intervalMs, o.slowHostMs, o.slowHostEvery);
    auto* driver = static_cast<talvik::ipcapture::IIPCaptureDriverEx5*>(factory.create());
    if (driver == nullptr) {
        summary->error = "the module made no driver";
        return false;
    }
    bool ran = false;
    std::chrono::steady_clock::time_point start{};
    if (!driver->Open(&host.debugSink, &host.allocator, &device)) {
        summary->error = "the driver could not open the device";
    } else if (auto* capture = driver->GetVideoCaptureEx2()) {
        ran = RecordStream(capture, o, sink, summary, &start);
    } else {
        summary->error = "the driver has no video capture object";
    }
    driver->Close();
    factory.destroy(driver);
    sink.Fill(summary, start);
    if (sink.WriteFailed()) summary->error = "writing " + summary->videoFile + " failed";
    return ran;
}

}  // namespace talvik_host

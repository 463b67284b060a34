// `talvik-host record`: records one stream of a camera into files.
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "Recorder.h"

namespace talvik_host {

namespace {

std::string Usage(const std::vector<Flag>& flags) {
    return "usage: talvik-host record --address A [device flags of open] [--input I]\n"
           "                          [--stream rec|live|remote] [--codec jpeg|h264]\n"
           "                          [--interval MS] [--size WxH] [--quality Q] [--duration S]\n"
           "                          [--out DIR] [--json] [--discard] [--streams N]\n"
           "                          [--slow-host MS[:EVERY]] [--module PATH]\n\n"
           "Opens the camera through the module, starts one stream (the recording stream\n"
           "with StartVideo, live and remote with StartStream) and writes every frame to\n"
           "DIR: JPEG streams to LABEL.mjpeg (concatenated pictures; ffplay -f mjpeg plays\n"
           "it), H.264 to LABEL.h264 (Annex B), and LABEL.csv with one line per frame\n"
           "(index, frame time UTC, receive time UTC, fourcc, width, height, bytes).\n"
           "LABEL is STREAM_inI_CODEC. A live progress line (plain lines when not on a\n"
           "terminal) shows frames, fps, kbit/s, channel status and signal losses; a\n"
           "summary follows. Exit code 1 when no frame arrived, 2 for wrong flags.\n"
           "--streams N (with --discard) opens N drivers for the same camera in this\n"
           "process, each starting the stream, and sums their counts; with --address\n"
           "A1,A2,... the streams take the addresses in turn.\n"
           "--slow-host MS[:EVERY] plays a host whose OnFrame blocks: MS milliseconds at\n"
           "every EVERY-th frame, or once at the first frame; with --json the summary\n"
           "then counts the stalls and the frames that began after the last one; with\n"
           "--streams every stream's OnFrame blocks so, as a host that stalls does.\n\n" +
           FlagHelp(flags) +
           "\nexamples:\n"
           "  talvik-host record --address 10.0.0.5 --model AV2155 --codec jpeg --interval 40 "
           "--duration 10 --out rec\n"
           "  talvik-host record --address 10.0.0.5 --codec h264 --interval 2000 --stream live "
           "--json\n";
}

bool ParseSize(const std::string& v, uint32_t* w, uint32_t* h) {
    const size_t x = v.find('x');
    return x != std::string::npos && ParseNumber(v.substr(0, x), 0xFFFF, w) &&
           ParseNumber(v.substr(x + 1), 0xFFFF, h) && *w > 0 && *h > 0;
}

// "MS" or "MS:EVERY", both from 1; EVERY 0 stands for once.
bool ParseStall(const std::string& v, uint32_t* ms, uint32_t* every) {
    const size_t colon = v.find(':');
    *every = 0;
    if (colon != std::string::npos &&
        (!ParseNumber(v.substr(colon + 1), 1000000, every) || *every == 0))
        return false;
    return ParseNumber(v.substr(0, colon), 600000, ms) && *ms > 0;
}

}  // namespace

// The stream flags of `record`, also used by `demo` for its defaults.
std::vector<Flag> RecordFlags(RecordOptions* o) {
    std::vector<Flag> flags;
    for (Flag& f : DeviceFlags(&o->device)) {
        // --codec names the stream's codec here; the device default follows it.
        if (std::strcmp(f.name, "--codec") != 0) flags.push_back(f);
    }
    flags.push_back(ModuleFlag(&o->modulePath));
    flags.push_back({"--input", "I", "video input (sensor) from 0 (default 0)",
                     [o](const std::string& v) -> std::string {
                         return ParseNumber(v, 63, &o->input) ? "" : "'" + v + "' is not 0 to 63";
                     }});
    flags.push_back({"--stream", "rec|live|remote", "which stream to start (default rec)",
                     [o](const std::string& v) -> std::string {
                         if (v == "rec")
                             o->stream = StreamChoice::kRec;
                         else if (v == "live")
                             o->stream = StreamChoice::kLive;
                         else if (v == "remote")
                             o->stream = StreamChoice::kRemote;
                         else
                             return "'" + v + "' is not rec, live or remote";
                         return "";
                     }});
    flags.push_back({"--codec", "jpeg|h264", "stream codec (default jpeg)",
                     [o](const std::string& v) -> std::string {
                         if (v == "jpeg")
                             o->codec = 1;
                         else if (v == "h264")
                             o->codec = 3;
                         else
                             return "'" + v + "' is not jpeg or h264";
                         return "";
                     }});
    flags.push_back({"--interval", "MS",
                     "time between frames in ms (default 40; above 1000 JPEG comes as single "
                     "pictures and H.264 as single key frames over HTTP)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 0xFFFF, &o->intervalMs) || o->intervalMs == 0)
                             return "'" + v + "' is not 1 to 65535";
                         return "";
                     }});
    flags.push_back({"--size", "WxH", "picture size (default 640x360)",
                     [o](const std::string& v) -> std::string {
                         return ParseSize(v, &o->width, &o->height) ? "" : "'" + v + "' is not WxH";
                     }});
    flags.push_back({"--quality", "Q", "quality 1 to 100 (default 50)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 100, &o->quality) || o->quality == 0)
                             return "'" + v + "' is not 1 to 100";
                         return "";
                     }});
    flags.push_back({"--duration", "S", "seconds to record (default 10; 0 until Ctrl-C)",
                     [o](const std::string& v) -> std::string {
                         uint32_t s = 0;
                         if (!ParseNumber(v, 86400 * 365, &s)) return "'" + v + "' is not seconds";
                         o->durationS = s;
                         return "";
                     }});
    flags.push_back({"--out", "DIR", "directory for the files (default: current)",
                     [o](const std::string& v) -> std::string {
                         if (v.empty()) return "empty directory";
                         o->outDir = v;
                         return "";
                     }});
    flags.push_back({"--json", nullptr, "summary as one JSON object on stdout",
                     [o](const std::string&) -> std::string {
                         o->json = true;
                         return "";
                     }});
    flags.push_back({"--discard", nullptr, "count frames only, write no files (benchmarks)",
                     [o](const std::string&) -> std::string {
                         o->discard = true;
                         return "";
                     }});
    flags.push_back({"--streams", "N",
                     "drivers for the same camera in this process, each with the stream "
                     "(default 1; above 1 needs --discard)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 256, &o->streams) || o->streams == 0)
                             return "'" + v + "' is not 1 to 256";
                         return "";
                     }});
    flags.push_back({"--slow-host", "MS[:EVERY]",
                     "OnFrame blocks MS ms every EVERY frames (once, at the first frame, "
                     "without EVERY)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseStall(v, &o->slowHostMs, &o->slowHostEvery))
                             return "'" + v + "' is not MS or MS:EVERY (MS 1 to 600000, " +
                                    "EVERY 1 to 1000000)";
                         return "";
                     }});
    flags.push_back({"--usage-every", "S",
                     "every S seconds a line \"usage {...}\" on stderr: frames, signal losses, "
                     "address space, threads and handles now (one stream)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 86400, &o->usageEveryS) || o->usageEveryS == 0)
                             return "'" + v + "' is not 1 to 86400";
                         return "";
                     }});
    return flags;
}

namespace {

int RunStreams(const RecordOptions& options) {
    std::vector<RecordSummary> summaries;
    std::string error;
    ProcessUsage peak;
    const bool ran = RunRecordings(options, &summaries, &peak, &error);
    uint64_t frames = 0;
    for (const RecordSummary& s : summaries)
        frames += s.frames;
    const std::string text =
        options.json ? StreamsJson(summaries, peak, error) : StreamsText(summaries, peak, error);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    return ran && frames > 0 ? kExitOk : kExitFailed;
}

int Run(int argc, char** argv, int first) {
    RecordOptions options;
    std::vector<Flag> flags = RecordFlags(&options);
    const int read = ReadCommandLine("record", flags, &Usage, argc, argv, first);
    if (read != kContinue) return read;
    if (options.streams > 1 && !options.discard)
        return UsageError("record", "--streams above 1 needs --discard", Usage(flags));
    if (options.streams > 1 && options.usageEveryS > 0)
        return UsageError("record", "--usage-every watches one stream only", Usage(flags));
    options.device.defaultCodec = options.codec;
    InstallStopSignals();
    if (options.streams > 1) return RunStreams(options);
    RecordSummary summary;
    const bool ran = RunRecording(options, &summary);
    if (options.json) {
        std::printf("%s\n", summary.Json().c_str());
    } else {
        std::printf("%s\n", summary.Text().c_str());
    }
    std::fflush(stdout);
    if (!ran && !options.json)
        std::fprintf(stderr, "talvik-host record: %s\n", summary.error.c_str());
    return ran && summary.frames > 0 ? kExitOk : kExitFailed;
}

}  // namespace

Command RecordCommand() {
    return {"record", "record one stream of a camera into .mjpeg/.h264 and .csv files", &Run};
}

}  // namespace talvik_host

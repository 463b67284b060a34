#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace camsim {
namespace {

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > max) return false;
    *value = v;
    return true;
}

bool ParseSize(const std::string& text, unsigned* width, unsigned* height) {
    size_t x = text.find('x');
    if (x == std::string::npos) return false;
    unsigned long w = 0, h = 0;
    if (!ParseNumber(text.substr(0, x), 16384, &w) || !ParseNumber(text.substr(x + 1), 16384, &h))
        return false;
    // Even sizes keep half resolution and 4:2:0 encoding exact.
    if (w < 32 || h < 32 || (w % 2) != 0 || (h % 2) != 0) return false;
    *width = static_cast<unsigned>(w);
    *height = static_cast<unsigned>(h);
    return true;
}

// A comma-separated list of RTSP methods.
bool ParseRefreshOn(const std::string& v, Options* o) {
    bool ok = true;
    static const char* const kMethods[] = {"OPTIONS", "DESCRIBE", "SETUP",         "PLAY",
                                           "PAUSE",   "TEARDOWN", "GET_PARAMETER", "SET_PARAMETER"};
    o->refreshOn.clear();
    size_t start = 0;
    while (ok && start <= v.size()) {
        const size_t comma = std::min(v.find(',', start), v.size());
        const std::string method = v.substr(start, comma - start);
        bool listed = false;
        for (const char* m : kMethods)
            listed = listed || method == m;
        ok = listed;
        o->refreshOn.push_back(method);
        start = comma + 1;
    }
    return ok;
}

// The value of one known flag into o; false when it is not a valid value.
bool ApplyFlag(const std::string& flag, const std::string& v, Options* o) {
    unsigned long n = 0;
    bool ok = true;
    if (flag == "--bind") {
        ok = !v.empty();
        o->bind = v;
    } else if (flag == "--http-port") {
        ok = ParseNumber(v, 65535, &n);
        o->httpPort = static_cast<uint16_t>(n);
    } else if (flag == "--rtsp-port") {
        ok = ParseNumber(v, 65535, &n);
        o->rtspPort = static_cast<uint16_t>(n);
    } else if (flag == "--sensors") {
        ok = v == "1" || v == "4";
        o->sensors = v == "4" ? 4 : 1;
    } else if (flag == "--model") {
        ok = !v.empty() && v.find_first_of("\r\n&") == std::string::npos;
        o->model = v;
    } else if (flag == "--sensor-size") {
        ok = ParseSize(v, &o->sensorWidth, &o->sensorHeight);
    } else if (flag == "--firmware") {
        ok = v.find_first_of("\r\n&") == std::string::npos;
        o->firmware = v;
    } else if (flag == "--auth") {
        ok = v == "none" || v == "basic" || v == "digest";
        o->auth =
            v == "basic" ? AuthMode::Basic : (v == "digest" ? AuthMode::Digest : AuthMode::None);
    } else if (flag == "--user") {
        ok = !v.empty() && v.find(':') == std::string::npos;
        o->user = v;
    } else if (flag == "--password") {
        o->password = v;
    } else if (flag == "--io") {
        ok = v == "numeric" || v == "onoff" || v == "none";
        o->io = v == "onoff" ? IoMode::OnOff : (v == "none" ? IoMode::None : IoMode::Numeric);
    } else if (flag == "--h264-file") {
        ok = !v.empty();
        o->h264File = v;
    } else if (flag == "--jpeg-exif") {
        ok = v == "none" || v == "thumbnail";
        o->exifThumbnail = v == "thumbnail";
    } else if (flag == "--session-timeout") {
        ok = ParseNumber(v, 86400, &n) && n > 0;
        o->sessionTimeoutS = static_cast<unsigned>(n);
    } else if (flag == "--refresh-on") {
        ok = ParseRefreshOn(v, o);
    } else if (flag == "--duration") {
        char* end = nullptr;
        errno = 0;
        double d = std::strtod(v.c_str(), &end);
        ok = !v.empty() && end && *end == '\0' && errno == 0 && d >= 0 && d < 1e7;
        o->durationS = d;
    }
    return ok;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& flag = args[i];
        if (flag == "--help" || flag == "-h") {
            o->help = true;
            continue;
        }
        if (flag.compare(0, 2, "--") != 0) {
            *error = "unexpected argument '" + flag + "'";
            return false;
        }
        static const char* const kFlags[] = {
            "--bind",      "--http-port",       "--rtsp-port",  "--sensors",
            "--model",     "--sensor-size",     "--firmware",   "--auth",
            "--user",      "--password",        "--io",         "--h264-file",
            "--jpeg-exif", "--session-timeout", "--refresh-on", "--duration"};
        bool known = false;
        for (const char* f : kFlags)
            known = known || flag == f;
        if (!known) {
            *error = "unknown flag " + flag;
            return false;
        }
        if (i + 1 >= args.size()) {
            *error = "missing value for " + flag;
            return false;
        }
        const std::string& v = args[++i];
        if (!ApplyFlag(flag, v, o)) {
            *error = "bad value '" + v + "' for " + flag;
            return false;
        }
    }
    return true;
}

std::string UsageText() {
    return "Usage: camsim [options]\n"
           "A camera on the network for tests and demos: HTTP control, MJPEG, JPEG and\n"
           "H.264 key frames over HTTP, H.264 over RTSP. Prints one JSON line with the bound\n"
           "ports when ready; stops on SIGINT, SIGTERM or after --duration.\n"
           "\n"
           "  --bind ADDR            address to listen on (default 127.0.0.1)\n"
           "  --http-port N          HTTP port, 0 picks a free one (default 80)\n"
           "  --rtsp-port N          RTSP port, 0 picks a free one (default 554)\n"
           "  --sensors 1|4          number of sensors (default 1)\n"
           "  --model TEXT           model name answered to /get?model=releasename (default "
           "AV2155)\n"
           "  --sensor-size WxH      sensor size in pixels, even numbers (default 1920x1080)\n"
           "  --firmware TEXT        firmware version answered to /get?fwversion (default 65246)\n"
           "  --auth none|basic|digest  authentication asked for on HTTP and RTSP (default none)\n"
           "  --user U               user name when --auth is not none (default admin)\n"
           "  --password W           password when --auth is not none (default admin)\n"
           "  --io numeric|onoff|none  form of auxin/auxout values, none for no I/O (default "
           "numeric)\n"
           "  --h264-file FILE       loop this Annex B H.264 file on RTSP instead of encoding "
           "live\n"
           "  --jpeg-exif none|thumbnail  thumbnail: every JPEG carries an EXIF segment holding a "
           "16x12 thumbnail JPEG (default none)\n"
           "  --session-timeout S    RTSP session time-out in seconds (default 60)\n"
           "  --refresh-on LIST      only these RTSP requests keep a session alive, e.g.\n"
           "                         GET_PARAMETER or PLAY,GET_PARAMETER; the session ends\n"
           "                         --session-timeout s after the last one, RTCP does not\n"
           "                         count (default: every request and RTCP packet)\n"
           "  --duration S           stop after S seconds (default: run until stopped)\n"
           "  --help                 this text\n"
           "\n"
           "Example:\n"
           "  camsim --http-port 0 --rtsp-port 0 --sensors 4 --auth digest --user admin "
           "--password secret --duration 60\n"
           "The simulator's own control API lives under /sim/ (see tools/camsim/README.md).\n";
}

}  // namespace camsim

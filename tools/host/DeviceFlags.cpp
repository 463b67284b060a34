#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "Platform.h"

namespace talvik_host {

Flag ModuleFlag(std::string* path) {
    static const std::string meaning = std::string("driver module to load (default: ") +
                                       kModuleFileName + " beside talvik-host or installed)";
    return {"--module", "PATH", meaning.c_str(), [path](const std::string& v) -> std::string {
                if (v.empty()) return "empty path";
                *path = v;
                return "";
            }};
}

namespace {
std::function<std::string(const std::string&)> Number(uint32_t* out, uint32_t max) {
    return [out, max](const std::string& v) -> std::string {
        if (!ParseNumber(v, max, out))
            return "'" + v + "' is not a number from 0 to " + std::to_string(max);
        return "";
    };
}
}  // namespace

std::vector<Flag> DeviceFlags(DeviceDescription* d) {
    std::vector<Flag> flags;
    flags.push_back({"--address", "A", "host name or IP address of the camera (required)",
                     [d](const std::string& v) -> std::string {
                         if (v.empty()) return "empty address";
                         d->address = v;
                         return "";
                     },
                     true});
    flags.push_back({"--port", "P", "HTTP port of the camera (default 80; 443 uses HTTPS)",
                     [d](const std::string& v) -> std::string {
                         uint32_t port = 0;
                         if (!ParseNumber(v, 65535, &port) || port == 0)
                             return "'" + v + "' is not a port from 1 to 65535";
                         d->port = uint16_t(port);
                         return "";
                     }});
    flags.push_back({"--user", "U", "user name for the camera (default: none)",
                     [d](const std::string& v) -> std::string {
                         d->userName = v;
                         return "";
                     }});
    flags.push_back(
        {"--password", "W", "password for the camera", [d](const std::string& v) -> std::string {
             d->password = v;
             return "";
         }});
    flags.push_back({"--model", "M", "camera model as the host knows it, e.g. AV2155",
                     [d](const std::string& v) -> std::string {
                         d->model = v;
                         return "";
                     }});
    flags.push_back({"--sensors", "N", "number of video inputs (sensors; default 1)",
                     Number(&d->videoInputs, 64)});
    flags.push_back(
        {"--inputs", "N", "number of digital inputs (default 0)", Number(&d->digitalInputs, 64)});
    flags.push_back({"--outputs", "N", "number of digital outputs (default 0)",
                     Number(&d->digitalOutputs, 64)});
    flags.push_back({"--codec", "N", "default codec: 1 JPEG, 3 H.264 (default 3)",
                     Number(&d->defaultCodec, 0xFFFFFFFFu)});
    Flag param{"--param", "N=TEXT",
               "numbered device parameter (repeatable): 2 RTSP port, 3/4 sensor size, 6 firmware, "
               "7 cropping",
               [d](const std::string& v) -> std::string {
                   const size_t eq = v.find('=');
                   uint32_t n = 0;
                   if (eq == std::string::npos || !ParseNumber(v.substr(0, eq), 1000, &n) || n == 0)
                       return "'" + v + "' is not N=TEXT with N from 1 to 1000";
                   d->parameters[n] = v.substr(eq + 1);
                   return "";
               }};
    param.repeatable = true;
    flags.push_back(param);
    return flags;
}

int UsageError(const char* command, const std::string& problem, const std::string& usage) {
    std::fprintf(stderr, "talvik-host %s: %s\n\n%s", command, problem.c_str(), usage.c_str());
    return kExitUsage;
}

int ReadCommandLine(const char* command, const std::vector<Flag>& flags, UsageText usage, int argc,
                    char** argv, int first) {
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage(flags).c_str(), stdout);
            return kExitOk;
        }
    }
    std::string error;
    if (!ParseFlags(flags, argc, argv, first, &error))
        return UsageError(command, error, usage(flags));
    return kContinue;
}

}  // namespace talvik_host

// `talvik-host probe`: runs the module's capability query against a camera
// and prints what reached the store and how the query ended.
#include <cstdio>
#include <cstring>

#include "CapabilityStore.h"
#include "Commands.h"
#include "ModuleLoader.h"
#include "talvik/CapabilityQuery.h"

namespace talvik_host {

namespace {

namespace ip = talvik::ipcapture;

struct ProbeOptions {
    std::string address;
    uint32_t port = 80;
    std::string user;
    std::string password;
    uint32_t videoStandard = 0;
    bool json = false;
    bool moduleWide = false;
    uint32_t timeoutSeconds = 60;
    std::string modulePath;
};

std::vector<Flag> ProbeFlags(ProbeOptions* o) {
    std::vector<Flag> flags;
    flags.push_back({"--address", "A", "host name or IP address of the camera (required)",
                     [o](const std::string& v) -> std::string {
                         if (v.empty()) return "empty address";
                         o->address = v;
                         return "";
                     },
                     true});
    flags.push_back({"--port", "P", "HTTP port of the camera (default 80)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 65535, &o->port) || o->port == 0)
                             return "'" + v + "' is not a port from 1 to 65535";
                         return "";
                     }});
    flags.push_back({"--user", "U", "user name for the camera (default: none)",
                     [o](const std::string& v) -> std::string {
                         o->user = v;
                         return "";
                     }});
    flags.push_back({"--password", "W", "password for the camera (default: none)",
                     [o](const std::string& v) -> std::string {
                         o->password = v;
                         return "";
                     }});
    flags.push_back({"--video-standard", "0|1",
                     "1: 30 frames per second where the camera gives no rate, 0: 25 (default 0)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 1, &o->videoStandard))
                             return "'" + v + "' is not 0 or 1";
                         return "";
                     }});
    flags.push_back({"--json", nullptr, "print one JSON object instead of text",
                     [o](const std::string&) -> std::string {
                         o->json = true;
                         return "";
                     }});
    flags.push_back({"--module-wide", nullptr,
                     "use the module-wide query (InitCapabilityQuery ... UninitCapabilityQuery)",
                     [o](const std::string&) -> std::string {
                         o->moduleWide = true;
                         return "";
                     }});
    flags.push_back({"--timeout", "S", "seconds to wait for the query's outcome (default 60)",
                     [o](const std::string& v) -> std::string {
                         if (!ParseNumber(v, 3600, &o->timeoutSeconds) || o->timeoutSeconds == 0)
                             return "'" + v + "' is not a number of seconds from 1 to 3600";
                         return "";
                     }});
    flags.push_back(ModuleFlag(&o->modulePath));
    return flags;
}

std::string Usage(const std::vector<Flag>& flags) {
    return "usage: talvik-host probe --address A [--port P] [--user U] [--password W]\n"
           "                         [--video-standard 0|1] [--json] [--module-wide]\n"
           "                         [--timeout S] [--module PATH]\n\n"
           "Runs the module's capability query against the camera and prints what reached\n"
           "the capability store (model, connection parameters, capabilities by id,\n"
           "resolutions with their shortest frame interval, frame intervals with the\n"
           "default, named properties) and the query's outcome. Exit code 0 when the\n"
           "query completed, 1 when it failed or gave no answer in time.\n\n" +
           FlagHelp(flags) +
           "\nexample:\n"
           "  talvik-host probe --address 10.0.0.5 --user admin --password secret --json\n";
}

struct QueryExports {
    ip::InitCapabilityQueryFn init = nullptr;
    ip::StartCapabilityQueryFn start = nullptr;
    ip::TerminateCapabilityQueryFn terminate = nullptr;
    ip::UninitCapabilityQueryFn uninit = nullptr;
    ip::CreateCapabilityQueryModuleFn create = nullptr;
    ip::DeleteCapabilityQueryModuleFn destroy = nullptr;
};

bool ResolveExports(const DriverModule& module, QueryExports* e, std::string* error) {
    struct Entry {
        const char* name;
        void** slot;
    };
    const Entry entries[] = {
        {"InitCapabilityQuery", reinterpret_cast<void**>(&e->init)},
        {"StartCapabilityQuery", reinterpret_cast<void**>(&e->start)},
        {"TerminateCapabilityQuery", reinterpret_cast<void**>(&e->terminate)},
        {"UninitCapabilityQuery", reinterpret_cast<void**>(&e->uninit)},
        {"CreateCapabilityQueryModule", reinterpret_cast<void**>(&e->create)},
        {"DeleteCapabilityQueryModule", reinterpret_cast<void**>(&e->destroy)},
    };
    for (const Entry& entry : entries) {
        *entry.slot = module.Symbol(entry.name);
        if (*entry.slot == nullptr) {
            *error = "module " + module.Path() + " does not export " + entry.name;
            return false;
        }
    }
    return true;
}

void Print(const ProbeOptions& o, const CapabilitySnapshot& store,
           const std::vector<QueryReport>& reports, bool answered) {
    if (o.json) {
        std::string out = "{\"outcome\":";
        if (!answered) {
            out += JsonQuote("no answer");
        } else {
            const QueryReport& first = reports.front();
            out += JsonQuote(first.kind == QueryReport::kCompleted ? "completed" : "failed");
            if (first.kind == QueryReport::kFailed) {
                out += ",\"code\":" + std::to_string(first.code) +
                       ",\"message\":" + JsonQuote(first.message);
            }
        }
        out += ",\"reports\":[";
        for (size_t i = 0; i < reports.size(); ++i) {
            out += (i ? "," : "") + JsonQuote(FormatReport(reports[i]));
        }
        out += "],\"store\":" + CCapabilityStore::FormatJson(store) + "}\n";
        std::fputs(out.c_str(), stdout);
        return;
    }
    std::fputs(CCapabilityStore::FormatText(store).c_str(), stdout);
    if (!answered) std::puts("Outcome: no answer");
    for (const QueryReport& report : reports) {
        std::printf("Outcome: %s\n", FormatReport(report).c_str());
    }
}

int Run(int argc, char** argv, int first) {
    ProbeOptions o;
    const std::vector<Flag> flags = ProbeFlags(&o);
    const int read = ReadCommandLine("probe", flags, &Usage, argc, argv, first);
    if (read != kContinue) return read;

    HostSession host;
    QueryExports exports;
    std::string error;
    if (!host.Load(o.modulePath, &error) || !ResolveExports(host.module, &exports, &error)) {
        std::fprintf(stderr, "talvik-host probe: %s\n", error.c_str());
        return kExitFailed;
    }

    CCapabilityStore store;
    CCapabilityQueryCallback callback;
    const uint16_t port = static_cast<uint16_t>(o.port);
    bool answered = false;
    if (o.moduleWide) {
        if (exports.init(&callback, o.videoStandard) == 0) {
            std::fputs("talvik-host probe: InitCapabilityQuery refused\n", stderr);
            return kExitFailed;
        }
        if (exports.start(o.address.c_str(), port, o.user.c_str(), o.password.c_str(), &store) ==
            0) {
            std::fputs("talvik-host probe: StartCapabilityQuery did not start\n", stderr);
            exports.uninit();
            return kExitFailed;
        }
        answered = callback.WaitForOutcome(o.timeoutSeconds * 1000);
        if (!answered) exports.terminate();
        exports.uninit();
    } else {
        ip::IIPCapabilityQuery* query = exports.create(&callback, o.videoStandard);
        if (query == nullptr) {
            std::fputs("talvik-host probe: CreateCapabilityQueryModule gave no query\n", stderr);
            return kExitFailed;
        }
        if (query->StartQuery(o.address.c_str(), port, o.user.c_str(), o.password.c_str(),
                              &store) == 0) {
            std::fputs("talvik-host probe: StartQuery did not start\n", stderr);
            exports.destroy(query);
            return kExitFailed;
        }
        answered = callback.WaitForOutcome(o.timeoutSeconds * 1000);
        if (!answered) query->StopQuery();
        exports.destroy(query);
    }

    const std::vector<QueryReport> reports = callback.Reports();
    answered = answered && !reports.empty();
    Print(o, store.Snapshot(), reports, answered);
    const bool completed = answered && reports.front().kind == QueryReport::kCompleted;
    return completed ? kExitOk : kExitFailed;
}

}  // namespace

Command ProbeCommand() {
    return {"probe", "read a camera's capabilities through the capability query", &Run};
}

}  // namespace talvik_host

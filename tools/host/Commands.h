// The subcommands of talvik-host. A subcommand is one file that defines a
// function returning its Command; main.cpp lists them in AllCommands().
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "HostObjects.h"
#include "ModuleLoader.h"
#include "Options.h"

namespace talvik_host {

// Exit codes of every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the module or the device failed
constexpr int kExitUsage = 2;   // wrong or missing flags

struct Command {
    const char* name;
    const char* summary;  // one line for `talvik-host --help`
    // argv[first] is the first argument after the subcommand's name.
    int (*run)(int argc, char** argv, int first);
};

Command OpenCommand();
Command RecordCommand();
Command DemoCommand();
Command ProbeCommand();
Command IoCommand();
Command SoakCommand();

// --module PATH, shared by every subcommand that loads the module.
Flag ModuleFlag(std::string* path);
// The device flags of `open` (--address, --port, ... --param), shared by every
// subcommand that opens a device.
std::vector<Flag> DeviceFlags(DeviceDescription* device);

// Prints "talvik-host NAME: problem" and the subcommand's usage to stderr;
// returns kExitUsage.
int UsageError(const char* command, const std::string& problem, const std::string& usage);

// The start of every subcommand: --help (or -h) anywhere prints the usage,
// else the flags are parsed. kContinue when the command goes on, else its
// exit code.
constexpr int kContinue = -1;
using UsageText = std::string (*)(const std::vector<Flag>& flags);
int ReadCommandLine(const char* command, const std::vector<Flag>& flags, UsageText usage, int argc,
                    char** argv, int first);

// The module (the default one for an empty path) and the host objects every
// driver is opened with.
struct HostSession {
    // False with the reason in error.
    bool Load(const std::string& path, std::string* error) {
        return module.Load(path.empty() ? DefaultModulePath() : path, error);
    }
    DriverModule module;
    HostDebugSink debugSink{stderr};
    HostFrameAllocator allocator;
};

}  // namespace talvik_host

// The subcommands of talvik-host. A subcommand is one file that defines a
// function returning its Command; main.cpp lists them in AllCommands().
#pragma once

#include <string>
#include <vector>

#include "HostObjects.h"
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

// --module PATH, shared by every subcommand that loads the module.
Flag ModuleFlag(std::string* path);
// The device flags of `open` (--address, --port, ... --param), shared by every
// subcommand that opens a device.
std::vector<Flag> DeviceFlags(DeviceDescription* device);

// Prints "talvik-host NAME: problem" and the subcommand's usage to stderr;
// returns kExitUsage.
int UsageError(const char* command, const std::string& problem, const std::string& usage);

}  // namespace talvik_host

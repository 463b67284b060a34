// talvik-host: a reference host for the driver module.
#include <cstdio>
#include <cstring>
#include <vector>

#include "Commands.h"
#include "Platform.h"

namespace {

using talvik_host::Command;

// New subcommands are added here (and in Commands.h).
std::vector<Command> AllCommands() {
    return {talvik_host::OpenCommand(),  talvik_host::RecordCommand(), talvik_host::DemoCommand(),
            talvik_host::ProbeCommand(), talvik_host::IoCommand(),     talvik_host::SoakCommand()};
}

std::string MainUsage() {
    std::string text =
        "usage: talvik-host COMMAND [FLAGS]\n"
        "       talvik-host COMMAND --help\n\n"
        "A reference host: loads the driver module with " +
        std::string(talvik_host::kModuleLoaderName) +
        ", implements every\n"
        "host-side interface and drives the module from the command line.\n\n"
        "commands:\n";
    for (const Command& command : AllCommands()) {
        std::string left = std::string("  ") + command.name;
        left.resize(12, ' ');
        text += left + command.summary + "\n";
    }
    text +=
        "\nflags of every command:\n"
        "  --module PATH         driver module to load (default: " +
        std::string(talvik_host::kModuleFileName) +
        " beside\n"
        "                        talvik-host, else the one installed in its prefix, else the\n"
        "                        one of its build tree)\n"
        "  --help                the command's flags, each with its meaning, and an example\n"
        "\nexample:\n"
        "  talvik-host open --address 10.0.0.5 --model AV2155 --param 6=65\n";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "talvik-host: no command given\n\n%s", MainUsage().c_str());
        return talvik_host::kExitUsage;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        std::fputs(MainUsage().c_str(), stdout);
        return talvik_host::kExitOk;
    }
    for (const Command& command : AllCommands()) {
        if (std::strcmp(argv[1], command.name) == 0) return command.run(argc, argv, 2);
    }
    std::fprintf(stderr, "talvik-host: unknown command '%s'\n\n%s", argv[1], MainUsage().c_str());
    return talvik_host::kExitUsage;
}

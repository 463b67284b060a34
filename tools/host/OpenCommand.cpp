// `talvik-host open`: creates a driver through every factory version, opens
// the device, closes it and deletes the driver, printing every log line.
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "ModuleLoader.h"

namespace talvik_host {

namespace {

std::string Usage(const std::vector<Flag>& flags) {
    return "usage: talvik-host open --address A [--port P] [--user U] [--password W] [--model M]\n"
           "                        [--sensors N] [--inputs N] [--outputs N] [--codec N]\n"
           "                        [--param N=TEXT]... [--module PATH]\n\n"
           "Creates a driver through each of the six factory versions, opens the device,\n"
           "prints every message of the driver to stderr as \"[level] text\", closes the\n"
           "device and deletes the driver. Exit code 0 when every open succeeded.\n\n" +
           FlagHelp(flags) +
           "\nexample:\n"
           "  talvik-host open --address 10.0.0.5 --port 80 --model AV2155 --param 6=65\n";
}

int Run(int argc, char** argv, int first) {
    std::string modulePath;
    DeviceDescription description;
    std::vector<Flag> flags = DeviceFlags(&description);
    flags.push_back(ModuleFlag(&modulePath));
    const int read = ReadCommandLine("open", flags, &Usage, argc, argv, first);
    if (read != kContinue) return read;

    HostSession host;
    std::string error;
    if (!host.Load(modulePath, &error)) {
        std::fprintf(stderr, "talvik-host open: %s\n", error.c_str());
        return kExitFailed;
    }
    HostDevice device(description);
    int failures = 0;
    for (const DriverFactory& factory : host.module.Factories()) {
        talvik::ipcapture::IIPCaptureDriver* driver = factory.create();
        if (driver == nullptr) {
            std::printf("%s: no driver\n", factory.createName);
            ++failures;
            continue;
        }
        const bool opened = driver->Open(&host.debugSink, &host.allocator, &device);
        std::printf("%s: %s\n", factory.createName, opened ? "opened" : "open failed");
        std::fflush(stdout);
        failures += opened ? 0 : 1;
        driver->Close();
        factory.destroy(driver);
    }
    return failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace

Command OpenCommand() {
    return {"open", "open and close a device through every driver factory version", &Run};
}

}  // namespace talvik_host

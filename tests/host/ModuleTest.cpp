// The built module and talvik-host: exported symbols, every factory through
// dlopen, the open command with and without a host core library, the command
// line's errors and help.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <set>
#include <string>
#include <vector>

#include "ModuleLoader.h"
#include "Platform.h"
#include "integration/EndToEnd.h"

namespace {

using namespace talvik_e2e;

const std::string kNotice =
    "DRIVER IS OPENED (name: talvik_arecont, device model: AV2155, FW: 65, address: 10.0.0.5:80)";
const Lines kExports = SplitLines(ReadFile(TALVIK_SOURCE_DIR "/tests/host/data/exports.txt"));

TEST(ModuleExports, ExactlyTheDriverExports) {
    int code = -1;
    const std::vector<std::string> names = SplitLines(
        RunCommand("nm -D --defined-only " + kModule + " | awk '{print $NF}'", 60000, &code));
    ASSERT_EQ(code, 0) << "nm failed on " << kModule;
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              std::set<std::string>(kExports.begin(), kExports.end()));
}

TEST(ModuleExports, EveryFactoryThroughDlopen) {
    talvik_host::DriverModule module;
    std::string error;
    ASSERT_TRUE(module.Load(kModule, &error)) << error;
    talvik_host::DeviceDescription d;
    d.address = "10.0.0.5";
    d.model = "AV2155";
    d.videoInputs = 4;
    d.parameters = {{6, "65"}};
    talvik_host::HostDevice device(d);
    for (const talvik_host::DriverFactory& factory : module.Factories()) {
        talvik_host::HostDebugSink sink(nullptr);
        talvik_host::HostFrameAllocator allocator;
        talvik::ipcapture::IIPCaptureDriver* driver = factory.create();
        ASSERT_NE(driver, nullptr) << factory.createName;
        EXPECT_EQ(driver->GetVideoCapture(), nullptr);
        ASSERT_TRUE(driver->Open(&sink, &allocator, &device)) << factory.createName;
        ASSERT_NE(driver->GetVideoCapture(), nullptr);
        EXPECT_EQ(driver->GetVideoCapture()->GetVideoInputCount(), 4u);
        EXPECT_NE(driver->GetDigitalIO(), nullptr);
        ASSERT_EQ(sink.Records().size(), 1u);
        EXPECT_EQ(sink.Records()[0].text, kNotice);
        driver->Close();
        factory.destroy(driver);
        factory.destroy(nullptr);  // ignored
    }
}

// The level itself is the debug tests' business; this is the host core
// library found (a stand-in of each version beside the host) or not.
TEST(HostOpen, NoticeLevelFollowsTheHostCoreVersion) {
    for (const auto& [version, level] :
         {std::pair<std::string, int>{"", 3}, {"5.11.9.0", 2}, {"6.3.0.0", 100}}) {
        Installation host("", kHost, kModule, "LD_LIBRARY_PATH=.");
        int code = -1;
        if (!version.empty())
            RunCommand("cd '" + host.dir.Path() +
                           "' && cp " TALVIK_BINARY_DIR
                           "/tools/host/libvantrel_stub.so libvantrel.so." +
                           version + " && ln -s libvantrel.so." + version + " libvantrel.so",
                       20000, &code);
        const RecordRun r =
            host.Run("open --address 10.0.0.5 --port 80 --model AV2155 --param 6=65");
        EXPECT_EQ(r.exitCode, 0) << version << "\n" << r.log;
        EXPECT_EQ(SplitLines(r.log), Lines(6, "[" + std::to_string(level) + "] " + kNotice))
            << version;
        Lines opened(kExports.begin(), kExports.begin() + 6);  // the create exports
        for (std::string& name : opened)
            name += ": opened";
        EXPECT_EQ(SplitLines(r.json), opened);
    }
}

// Every flag at once opens; each wrong or missing one, of every command, is
// its own message.
TEST(HostCommandLine, FlagsAcceptedOrRefused) {
    Installation host("");
    for (auto row : DataRows("host/data/host_flags.txt")) {
        if (row[0].find("$MODULE") != std::string::npos)
            row[0].replace(row[0].find("$MODULE"), 7, kModule);
        const RecordRun r = host.Run(row[0]);
        EXPECT_EQ(std::to_string(r.exitCode), row[1]) << row[0];
        EXPECT_EQ(r.log.substr(0, r.log.find('\n')), row[2]);
        EXPECT_TRUE(row[1] != "2" || r.log.find("usage: talvik-host") != std::string::npos)
            << row[0];
        EXPECT_TRUE(row[1] == "0" || r.json.empty()) << row[0];
    }
}

// Every command's help goes to stdout with exit code 0 and shows an example.
TEST(HostHelp, EveryCommandHasHelpWithAnExample) {
    Installation host("");
    const RecordRun main = host.Run("--help");
    EXPECT_EQ(main.exitCode, 0);
    for (const std::string command : {"open", "record", "demo", "io", "probe"}) {
        EXPECT_NE(main.json.find("\n  " + command + " "), std::string::npos) << command;
        const RecordRun help = host.Run(command + " --help");
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_EQ(help.log, "") << command;
        EXPECT_NE(help.json.find("\n  talvik-host " + command + " --"), std::string::npos)
            << help.json;
    }
}

// The host's usage figures follow mappings and descriptors as they come and
// go, though it walks the maps again only when the address space changed.
TEST(HostUsage, FollowsMappingsAndDescriptors) {
    const size_t size = 48u << 20;
    const talvik_host::ProcessUsage before = talvik_host::ReadProcessUsage();
    void* reserved = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    const talvik_host::ProcessUsage mapped = talvik_host::ReadProcessUsage();
    FILE* file = std::fopen("/proc/self/stat", "r");
    ASSERT_NE(file, nullptr);
    const talvik_host::ProcessUsage opened = talvik_host::ReadProcessUsage();
    std::fclose(file);
    munmap(reserved, size);
    const talvik_host::ProcessUsage after = talvik_host::ReadProcessUsage();
    EXPECT_GE(mapped.addressSpaceMb - before.addressSpaceMb, 48.0);
    EXPECT_NEAR(opened.addressSpaceMb, mapped.addressSpaceMb, 1.0);
    EXPECT_EQ(opened.handles, mapped.handles + 1);
    EXPECT_GE(mapped.addressSpaceMb - after.addressSpaceMb, 48.0);
    EXPECT_EQ(after.handles, mapped.handles);
    EXPECT_EQ(after.threads, before.threads);
}

}  // namespace

// The built module and talvik-host, end to end: exported symbols, every
// factory through dlopen, the open subcommand with and without a host core
// library, the command line's errors and help.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HostObjects.h"
#include "ModuleLoader.h"
#include "support/TestFiles.h"

namespace {

using talvik::test::ReadFile;
using talvik::test::RunCommand;
using talvik::test::SplitLines;
using talvik::test::TempDir;

const std::string kModule = std::string(TALVIK_BINARY_DIR) + "/libtalvik_arecont.so";
const std::string kHost = std::string(TALVIK_BINARY_DIR) + "/tools/host/talvik-host";
const std::string kData = std::string(TALVIK_SOURCE_DIR) + "/tests/host/data/";
const std::string kVantrelStub = std::string(TALVIK_BINARY_DIR) + "/tools/host/libvantrel_stub.so";

const std::string kNotice =
    "DRIVER IS OPENED (name: talvik_arecont, device model: AV2155, FW: 65, address: 10.0.0.5:80)";

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs the host with stdout and stderr captured separately.
Result RunHost(const std::string& args, const std::string& env = "") {
    TempDir dir;
    Result r;
    r.out =
        RunCommand(env + " " + kHost + " " + args + " 2>" + dir.Path() + "/err", 60000, &r.code);
    r.err = ReadFile(dir.Path() + "/err");
    return r;
}

TEST(ModuleExports, ExactlyTheDriverExports) {
    int code = -1;
    const std::vector<std::string> names = SplitLines(
        RunCommand("nm -D --defined-only " + kModule + " | awk '{print $NF}'", 60000, &code));
    ASSERT_EQ(code, 0) << "nm failed on " << kModule;
    const std::vector<std::string> exports = SplitLines(ReadFile(kData + "exports.txt"));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              std::set<std::string>(exports.begin(), exports.end()));
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

TEST(HostOpen, NoticeLevelFollowsTheHostCoreVersion) {
    struct Case {
        const char* version;  // null: no host core library
        int level;
    } cases[] = {{nullptr, 3}, {"5.11.9.0", 2}, {"6.3.0.0", 100}};  // the rule itself: DebugTest
    for (const Case& c : cases) {
        TempDir dir;
        std::string env;
        if (c.version != nullptr) {
            const std::string file = std::string("libvantrel.so.") + c.version;
            ASSERT_EQ(std::system(("cp '" + kVantrelStub + "' '" + dir.Path() + "/" + file +
                                   "' && ln -s " + file + " '" + dir.Path() + "/libvantrel.so'")
                                      .c_str()),
                      0);
            env = "LD_LIBRARY_PATH='" + dir.Path() + "'";
        }
        const Result r =
            RunHost("open --address 10.0.0.5 --port 80 --model AV2155 --param 6=65", env);
        const std::string version = c.version ? c.version : "none";
        EXPECT_EQ(r.code, 0) << version << "\n" << r.err;
        const std::string expected = "[" + std::to_string(c.level) + "] " + kNotice;
        EXPECT_EQ(SplitLines(r.err), std::vector<std::string>(6, expected)) << version;
        std::vector<std::string> opened = SplitLines(ReadFile(kData + "exports.txt"));
        opened.resize(6);  // the create exports
        for (std::string& name : opened)
            name += ": opened";
        EXPECT_EQ(SplitLines(r.out), opened);
    }
}

// Every flag at once opens; each wrong or missing one is its own message.
TEST(HostOpen, FlagsAcceptedOrRefused) {
    // Rows of data/open_flags.txt: exit code|first line of stderr|arguments.
    for (const std::string& row : SplitLines(ReadFile(kData + "open_flags.txt"))) {
        const size_t bar = row.find('|', 2);
        std::string args = row.substr(bar + 1);
        if (args.find("$MODULE") != std::string::npos)
            args.replace(args.find("$MODULE"), 7, kModule);
        const int code = row[0] - '0';
        const Result r = RunHost(args);
        EXPECT_EQ(r.code, code) << args;
        const std::vector<std::string> lines = SplitLines(r.err);
        ASSERT_FALSE(lines.empty()) << args;
        EXPECT_EQ(lines[0], row.substr(2, bar - 2)) << args;
        EXPECT_TRUE(code != 2 || r.err.find("usage: talvik-host") != std::string::npos) << args;
        EXPECT_TRUE(code == 0 || r.out.empty()) << args;
    }
}

// Every command's help goes to stdout with exit code 0 and shows an example.
TEST(HostHelp, EveryCommandHasHelpWithAnExample) {
    const Result main = RunHost("--help");
    EXPECT_EQ(main.code, 0);
    for (const std::string command : {"open", "record", "demo", "io", "probe"}) {
        EXPECT_NE(main.out.find("\n  " + command + " "), std::string::npos) << command;
        const Result help = RunHost(command + " --help");
        EXPECT_EQ(help.code, 0) << command;
        EXPECT_EQ(help.err, "") << command;
        EXPECT_NE(help.out.find("\n  talvik-host " + command + " --"), std::string::npos)
            << help.out;
    }
}

}  // namespace

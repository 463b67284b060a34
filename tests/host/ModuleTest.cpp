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
    FILE* pipe = popen(("nm -D --defined-only " + kModule).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        std::istringstream fields(line);
        std::string field, last;
        while (fields >> field)
            last = field;
        if (!last.empty()) names.insert(last);
    }
    ASSERT_EQ(pclose(pipe), 0) << "nm failed on " << kModule;
    const std::set<std::string> expected = {
        "CreateIPCapture",       "CreateIPCaptureEx",           "CreateIPCaptureEx2",
        "CreateIPCaptureEx3",    "CreateIPCaptureEx4",          "CreateIPCaptureEx5",
        "DeleteIPCapture",       "DeleteIPCaptureEx",           "DeleteIPCaptureEx2",
        "DeleteIPCaptureEx3",    "DeleteIPCaptureEx4",          "DeleteIPCaptureEx5",
        "InitCapabilityQuery",   "StartCapabilityQuery",        "TerminateCapabilityQuery",
        "UninitCapabilityQuery", "CreateCapabilityQueryModule", "DeleteCapabilityQueryModule"};
    EXPECT_EQ(names, expected);
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
        EXPECT_EQ(
            SplitLines(r.out),
            (std::vector<std::string>{"CreateIPCapture: opened", "CreateIPCaptureEx: opened",
                                      "CreateIPCaptureEx2: opened", "CreateIPCaptureEx3: opened",
                                      "CreateIPCaptureEx4: opened", "CreateIPCaptureEx5: opened"}));
    }
}

// Every flag at once opens; each wrong or missing one is its own message.
TEST(HostOpen, FlagsAcceptedOrRefused) {
    const struct {
        std::string args;
        int code;
        const char* message;  // first line of stderr
    } cases[] = {
        {"open --address cam.local --port=8080 --user admin --password 'p=w d' --model AV8365 "
         "--sensors 4 --inputs 1 --outputs 1 --codec 1 --param 2=554 --param 7=1 --module " +
             kModule,
         0,
         "[3] DRIVER IS OPENED (name: talvik_arecont, device model: AV8365, address: "
         "cam.local:8080)"},
        {"", 2, "talvik-host: no command given"},
        {"frobnicate", 2, "talvik-host: unknown command 'frobnicate'"},
        {"open --address", 2, "talvik-host open: --address needs a value (A)"},
        {"open --address ''", 2, "talvik-host open: --address: empty address"},
        {"open --address a --port 65536", 2,
         "talvik-host open: --port: '65536' is not a port from 1 to 65535"},
        {"open --address a --port 8o", 2,
         "talvik-host open: --port: '8o' is not a port from 1 to 65535"},
        {"open --address a --sensors -1", 2,
         "talvik-host open: --sensors: '-1' is not a number from 0 to 64"},
        {"open --address a --param 6", 2,
         "talvik-host open: --param: '6' is not N=TEXT with N from 1 to 1000"},
        {"open --address a --address b", 2, "talvik-host open: --address given more than once"},
        {"open --address a --bogus", 2, "talvik-host open: unknown argument '--bogus'"},
        {"open --address a --module /nonexistent/libx.so", 1,
         "talvik-host open: cannot load module /nonexistent/libx.so: /nonexistent/libx.so: cannot "
         "open shared object file: No such file or directory"},
    };
    for (const auto& c : cases) {
        const Result r = RunHost(c.args);
        EXPECT_EQ(r.code, c.code) << c.args;
        const std::vector<std::string> lines = SplitLines(r.err);
        ASSERT_FALSE(lines.empty()) << c.args;
        EXPECT_EQ(lines[0], c.message) << c.args;
        if (c.code == 2) {
            EXPECT_NE(r.err.find("usage: talvik-host"), std::string::npos) << c.args;
        }
        if (c.code != 0) {
            EXPECT_EQ(r.out, "") << c.args;
        }
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

// End to end: the capability query of the loaded module against camsim, as
// the reference host's store and `talvik-host probe` see it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "CapabilityStore.h"
#include "ModuleLoader.h"
#include "support/CamSim.h"
#include "support/TestFiles.h"
#include "talvik/CapabilityQuery.h"

namespace {

using talvik::test::CamSim;
using talvik::test::RunCommand;
using talvik::test::StartCamSim;
using talvik_host::CapabilitySnapshot;
using talvik_host::CCapabilityQueryCallback;
using talvik_host::CCapabilityStore;
using talvik_host::QueryReport;
using talvik_host::StoredProperty;
using talvik_host::StoredResolution;

constexpr uint32_t kOutcomeWaitMs = 60000;  // seven camera requests, each bounded by 5 s

const std::vector<uint32_t> kRateIntervals = {1000, 500, 333, 250, 200, 167, 143, 125, 111, 100,
                                              91,   83,  77,  71,  67,  63,  59,  56,  53,  50,
                                              48,   45,  43,  42,  40,  38,  37,  36,  34,  33};

std::vector<uint32_t> Intervals(uint32_t maxRate, bool withLong) {
    std::vector<uint32_t> out(kRateIntervals.begin(), kRateIntervals.begin() + maxRate);
    if (!withLong) return out;
    const uint32_t seconds[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 30, 40, 50};
    for (uint32_t s : seconds)
        out.push_back(s * 1000);
    for (uint32_t m = 2; m <= 10; ++m)
        out.push_back(m * 60000);
    for (uint32_t m = 20; m <= 50; m += 10)
        out.push_back(m * 60000);
    for (uint32_t h = 1; h <= 24; ++h)
        out.push_back(h * 3600000);
    return out;
}

std::map<uint32_t, StoredProperty> Properties(const char* width, const char* height,
                                              const char* group, const char* firmware,
                                              const char* cropping) {
    return {{1, {"Video standard", "0", 0, 0}},        {2, {"RTSP port", "554", 0, 0}},
            {3, {"Sensor width", width, 0, 0}},        {4, {"Sensor height", height, 0, 0}},
            {5, {"Camera group", group, 0, 0}},        {6, {"Firmware version", firmware, 1, 0}},
            {7, {"Flexible cropping", cropping, 0, 0}}};
}

// What a camsim camera on `port` leaves in the store with a 5.12 host core.
CapabilitySnapshot Expected(uint16_t port, const std::string& model, bool jpeg, uint32_t channels,
                            std::vector<StoredResolution> resolutions, uint32_t maxRate,
                            uint32_t defaultInterval,
                            std::map<uint32_t, StoredProperty> properties) {
    CapabilitySnapshot s;
    s.modelName = "Arecont AV " + model;
    s.connection = {{1, "127.0.0.1"}, {2, std::to_string(port)}, {3, ""}, {4, ""}};
    s.capabilities = {{0, channels}, {2, 1},  {3, 1},  {7, 1},  {11, 1},    {12, 1},
                      {21, 1},       {22, 1}, {23, 1}, {24, 1}, {25, 2000}, {27, 2}};
    if (jpeg) s.capabilities[8] = 1;
    s.resolutions = std::move(resolutions);
    s.frameIntervals = Intervals(maxRate, true);
    s.defaultFrameInterval = defaultInterval;
    s.properties = std::move(properties);
    return s;
}

bool SameSnapshot(const CapabilitySnapshot& a, const CapabilitySnapshot& b) {
    return CCapabilityStore::FormatJson(a) == CCapabilityStore::FormatJson(b);
}

struct ProbeCase {
    const char* name;
    std::vector<std::string> camsimArgs;
    std::string model;
    bool jpeg;
    uint32_t channels;
    std::vector<StoredResolution> resolutions;
    uint32_t maxRate;
    uint32_t defaultInterval;
    std::map<uint32_t, StoredProperty> properties;
};

std::ostream& operator<<(std::ostream& os, const ProbeCase& c) {
    return os << c.name;
}

class QueryAgainstCamSim : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(QueryAgainstCamSim, StoreHoldsWhatTheCameraOffers) {
    const ProbeCase& c = GetParam();
    auto sim = StartCamSim(c.camsimArgs);
    ASSERT_TRUE(sim);

    talvik_host::DriverModule module;
    std::string error;
    ASSERT_TRUE(module.Load(talvik_host::DefaultModulePath(), &error)) << error;
    auto create = reinterpret_cast<talvik::ipcapture::CreateCapabilityQueryModuleFn>(
        module.Symbol("CreateCapabilityQueryModule"));
    auto destroy = reinterpret_cast<talvik::ipcapture::DeleteCapabilityQueryModuleFn>(
        module.Symbol("DeleteCapabilityQueryModule"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);

    CCapabilityStore store;
    CCapabilityQueryCallback callback;
    talvik::ipcapture::IIPCapabilityQuery* query = create(&callback, 0);
    ASSERT_NE(query, nullptr);
    ASSERT_EQ(query->StartQuery("127.0.0.1", sim->HttpPort(), "", "", &store), 1u);
    EXPECT_TRUE(callback.WaitForOutcome(kOutcomeWaitMs));
    destroy(query);

    EXPECT_EQ(callback.Reports(), (std::vector<QueryReport>{{QueryReport::kCompleted, 0, ""}}));
    const CapabilitySnapshot expected =
        Expected(sim->HttpPort(), c.model, c.jpeg, c.channels, c.resolutions, c.maxRate,
                 c.defaultInterval, c.properties);
    const CapabilitySnapshot got = store.Snapshot();
    EXPECT_TRUE(SameSnapshot(got, expected)) << "got:\n"
                                             << CCapabilityStore::FormatText(got) << "expected:\n"
                                             << CCapabilityStore::FormatText(expected);
}

INSTANTIATE_TEST_SUITE_P(
    Capabilities, QueryAgainstCamSim,
    ::testing::Values(ProbeCase{"Model2155",
                                {"--model", "AV2155DN", "--sensor-size", "1600x1200"},
                                "AV2155DN",
                                true,
                                1,
                                {{"1600x1200", 1600, 1200, 33}, {"800x600", 800, 600, 33}},
                                30,
                                200,
                                Properties("1600", "1200", "1", "65246", "0")},
                      ProbeCase{"Model3130",
                                {"--model", "AV3130", "--sensor-size", "1280x1024", "--firmware",
                                 "61101"},
                                "AV3130",
                                false,
                                1,
                                {{"1280x1024", 1280, 1024, 33}, {"640x512", 640, 512, 33}},
                                30,
                                200,
                                Properties("1280", "1024", "0", "61101", "0")},
                      ProbeCase{"Model20185",
                                {"--model", "AV20185DN", "--sensor-size", "2592x1944"},
                                "AV20185DN",
                                true,
                                1,
                                {{"2592x1944", 2592, 1944, 250}, {"1296x972", 1296, 972, 77}},
                                13,
                                250,
                                Properties("2592", "1944", "1", "65246", "0")},
                      ProbeCase{"Sensor1920x1088",
                                {"--model", "AV2115DN", "--sensor-size", "1920x1088"},
                                "AV2115DN",
                                true,
                                1,
                                {{"1920x1080", 1920, 1080, 33}, {"960x540", 960, 540, 33}},
                                30,
                                200,
                                Properties("1920", "1080", "1", "65246", "1")},
                      ProbeCase{"FourSensors",
                                {"--model", "AV8365DN", "--sensors", "4", "--sensor-size",
                                 "1600x1200", "--firmware", "65178"},
                                "AV8365DN",
                                true,
                                4,
                                {{"1600x1200", 1600, 1200, 143}, {"800x600", 800, 600, 40}},
                                25,
                                200,
                                Properties("1600", "1200", "1", "65178", "0")}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

std::string BuildPath(const std::string& relative) {
    return std::string(TALVIK_BINARY_DIR) + "/" + relative;
}

std::string HostBinary() {
    return BuildPath("tools/host/talvik-host");
}

// A port on which nothing listens (bound, read back, released).
uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// `talvik-host probe --json` with a host core of the given version on the
// library path ("" for none, which counts as 5.12).
std::string Probe(const std::string& flags, const std::string& hostCore, int* exitCode) {
    std::string prefix;
    if (!hostCore.empty()) {
        char dir[] = "/tmp/talvik-vantrel-XXXXXX";
        if (mkdtemp(dir) == nullptr) return "mkdtemp failed";
        const std::string d = dir;
        const std::string versioned = d + "/libvantrel.so." + hostCore;
        RunCommand("cp " + BuildPath("tools/host/libvantrel_stub.so") + " " + versioned +
                       " && ln -s " + versioned + " " + d + "/libvantrel.so",
                   10000, exitCode);
        prefix = "LD_LIBRARY_PATH=" + d + " ";
    }
    std::string out = RunCommand(prefix + HostBinary() + " probe " + flags, 90000, exitCode);
    if (!hostCore.empty()) {
        int ignored = 0;
        RunCommand("rm -rf " + prefix.substr(prefix.find('=') + 1), 10000, &ignored);
    }
    return out;
}

TEST(ProbeCommand, HostCore511AgainstDefault512) {
    auto sim = StartCamSim({"--model", "AV2155DN", "--sensor-size", "1600x1200"});
    ASSERT_TRUE(sim);
    const std::string port = std::to_string(sim->HttpPort());
    const std::string flags = "--address 127.0.0.1 --port " + port + " --json";

    CapabilitySnapshot newer = Expected(sim->HttpPort(), "AV2155DN", true, 1,
                                        {{"1600x1200", 1600, 1200, 33}, {"800x600", 800, 600, 33}},
                                        30, 200, Properties("1600", "1200", "1", "65246", "0"));
    CapabilitySnapshot older = newer;
    older.capabilities = {{0, 1}, {2, 1}, {3, 1}, {7, 1}, {8, 1}, {11, 1}, {12, 1}, {27, 0}};
    older.frameIntervals = Intervals(30, false);
    const std::string head = "{\"outcome\":\"completed\",\"reports\":[\"completed\"],\"store\":";

    int exitCode = -1;
    EXPECT_EQ(Probe(flags, "", &exitCode), head + CCapabilityStore::FormatJson(newer) + "}\n");
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(Probe(flags, "5.11.0.0", &exitCode),
              head + CCapabilityStore::FormatJson(older) + "}\n");
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(Probe(flags, "5.12.0.0", &exitCode),
              head + CCapabilityStore::FormatJson(newer) + "}\n");
    EXPECT_EQ(exitCode, 0);
}

TEST(ProbeCommand, DigestCredentialsAndFailures) {
    auto sim = StartCamSim({"--auth", "digest", "--user", "admin", "--password", "secret",
                            "--model", "AV3130", "--sensor-size", "1280x1024"});
    ASSERT_TRUE(sim);
    const std::string address = "--address 127.0.0.1 --port " + std::to_string(sim->HttpPort());
    int exitCode = -1;

    std::string out = Probe(address + " --user admin --password secret", "", &exitCode);
    EXPECT_EQ(exitCode, 0) << out;
    EXPECT_NE(out.find("Model: Arecont AV AV3130\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Connection: address=127.0.0.1 port=" + std::to_string(sim->HttpPort()) +
                       " user=admin password=secret\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nOutcome: completed\n"), std::string::npos) << out;

    // The module-wide exports give the same answer.
    out = Probe(address + " --user admin --password secret --module-wide", "", &exitCode);
    EXPECT_EQ(exitCode, 0) << out;
    EXPECT_NE(out.find("\nOutcome: completed\n"), std::string::npos) << out;

    out = Probe(address + " --user admin --password wrong", "", &exitCode);
    EXPECT_EQ(exitCode, 1) << out;
    EXPECT_NE(out.find("\nOutcome: failed 3: Failed to get camera properties\n"), std::string::npos)
        << out;

    out = Probe("--address 127.0.0.1 --port " + std::to_string(ClosedPort()) + " --json", "",
                &exitCode);
    EXPECT_EQ(exitCode, 1) << out;
    EXPECT_EQ(out.rfind("{\"outcome\":\"failed\",\"code\":3,\"message\":\"Failed to get camera "
                        "properties\",\"reports\":[\"failed 3: Failed to get camera properties\"],",
                        0),
              0u)
        << out;

    out = Probe("--address 127.0.0.1:80", "", &exitCode);
    EXPECT_EQ(exitCode, 1) << out;
    EXPECT_NE(out.find("\nOutcome: failed 0: Failed to start capability fetching thread. Device "
                       "address is invalid!\n"),
              std::string::npos)
        << out;
}

}  // namespace

// End to end: the capability query of the loaded module against camsim, as
// `talvik-host probe` reports the host's store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace {

// `talvik-host probe` with the given flags; its standard output.
std::string Probe(const std::string& flags, int* exitCode) {
    return talvik::test::RunCommand(TALVIK_BINARY_DIR "/tools/host/talvik-host probe " + flags,
                                    90000, exitCode);
}

TEST(ProbeCommand, DigestCredentialsAndFailures) {
    auto sim =
        talvik::test::StartCamSim({"--auth", "digest", "--user", "admin", "--password", "secret",
                                   "--model", "AV3130", "--sensor-size", "1280x1024"});
    ASSERT_TRUE(sim);
    const std::string port = std::to_string(sim->HttpPort());
    const std::string address = "--address 127.0.0.1 --port " + port;
    // Port 1 of the loopback address: nothing listens there.
    const struct {
        std::string flags;
        int exitCode;
        std::vector<std::string> texts;
    } cases[] = {
        {address + " --user admin --password secret",
         0,
         {"Model: Arecont AV AV3130\n", "\nOutcome: completed\n",
          "Connection: address=127.0.0.1 port=" + port + " user=admin password=secret\n"}},
        // The module-wide exports give the same answer.
        {address + " --user admin --password secret --module-wide", 0, {"\nOutcome: completed\n"}},
        {address + " --user admin --password wrong",
         1,
         {"\nOutcome: failed 1: Failed to get camera properties: device 127.0.0.1:" + port +
          " refused the credentials of user \"admin\" (HTTP status 401, Digest scheme)\n"}},
        {"--address 127.0.0.1 --port 1 --json",
         1,
         {"{\"outcome\":\"failed\",\"code\":3,\"message\":\"Failed to get camera properties\","
          "\"reports\":[\"failed 3: Failed to get camera properties\"],"}},
        {"--address 127.0.0.1:80",
         1,
         {"\nOutcome: failed 0: Failed to start capability fetching thread. Device address is "
          "invalid!\n"}},
    };
    for (const auto& c : cases) {
        int exitCode = -1;
        const std::string out = Probe(c.flags, &exitCode);
        EXPECT_EQ(exitCode, c.exitCode) << out;
        for (const std::string& text : c.texts)
            EXPECT_NE(out.find(text), std::string::npos) << text << " in\n" << out;
    }
}

}  // namespace

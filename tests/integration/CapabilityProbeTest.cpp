// End to end: the capability query of the loaded module against camsim, as
// `talvik-host probe` reports the host's store.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/CamSim.h"
#include "support/TestFiles.h"

namespace {

using talvik::test::RunCommand;
using talvik::test::StartCamSim;

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

// `talvik-host probe` with the given flags; its standard output.
std::string Probe(const std::string& flags, int* exitCode) {
    return RunCommand(TALVIK_BINARY_DIR "/tools/host/talvik-host probe " + flags, 90000, exitCode);
}

TEST(ProbeCommand, DigestCredentialsAndFailures) {
    auto sim = StartCamSim({"--auth", "digest", "--user", "admin", "--password", "secret",
                            "--model", "AV3130", "--sensor-size", "1280x1024"});
    ASSERT_TRUE(sim);
    const std::string address = "--address 127.0.0.1 --port " + std::to_string(sim->HttpPort());
    int exitCode = -1;

    std::string out = Probe(address + " --user admin --password secret", &exitCode);
    EXPECT_EQ(exitCode, 0) << out;
    EXPECT_NE(out.find("Model: Arecont AV AV3130\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Connection: address=127.0.0.1 port=" + std::to_string(sim->HttpPort()) +
                       " user=admin password=secret\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nOutcome: completed\n"), std::string::npos) << out;

    // The module-wide exports give the same answer.
    out = Probe(address + " --user admin --password secret --module-wide", &exitCode);
    EXPECT_EQ(exitCode, 0) << out;
    EXPECT_NE(out.find("\nOutcome: completed\n"), std::string::npos) << out;

    out = Probe(address + " --user admin --password wrong", &exitCode);
    EXPECT_EQ(exitCode, 1) << out;
    EXPECT_NE(out.find("\nOutcome: failed 1: Failed to get camera properties: device 127.0.0.1:" +
                       std::to_string(sim->HttpPort()) +
                       " refused the credentials of user \"admin\" (HTTP status 401, Digest "
                       "scheme)\n"),
              std::string::npos)
        << out;

    out =
        Probe("--address 127.0.0.1 --port " + std::to_string(ClosedPort()) + " --json", &exitCode);
    EXPECT_EQ(exitCode, 1) << out;
    EXPECT_EQ(out.rfind("{\"outcome\":\"failed\",\"code\":3,\"message\":\"Failed to get camera "
                        "properties\",\"reports\":[\"failed 3: Failed to get camera properties\"],",
                        0),
              0u)
        << out;

    out = Probe("--address 127.0.0.1:80", &exitCode);
    EXPECT_EQ(exitCode, 1) << out;
    EXPECT_NE(out.find("\nOutcome: failed 0: Failed to start capability fetching thread. Device "
                       "address is invalid!\n"),
              std::string::npos)
        << out;
}

}  // namespace

// End to end: the capability query of the loaded module against camsim, as
// `talvik-host probe` reports the host's store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace {

TEST(ProbeCommand, DigestCredentialsAndFailures) {
    auto sim =
        talvik::test::StartCamSim({"--auth", "digest", "--user", "admin", "--password", "secret",
                                   "--model", "AV3130", "--sensor-size", "1280x1024"});
    ASSERT_TRUE(sim);
    const std::string port = std::to_string(sim->HttpPort());
    for (auto row : talvik::test::DataRows("integration/data/probe_command.txt")) {
        for (std::string& cell : row)
            for (size_t at; (at = cell.find("$PORT")) != std::string::npos;)
                cell.replace(at, 5, port);
        int exitCode = -1;
        const std::string out =
            "\n" +
            talvik::test::RunCommand(TALVIK_BINARY_DIR "/tools/host/talvik-host probe " + row[0],
                                     90000, &exitCode);
        EXPECT_EQ(exitCode, std::stoi(row[1])) << out;
        for (size_t i = 2; i < row.size(); ++i)
            EXPECT_NE(out.find("\n" + row[i]), std::string::npos) << row[i] << " in" << out;
    }
}

}  // namespace

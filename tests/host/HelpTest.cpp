// talvik-host's help texts: every subcommand lists exactly the flags it
// accepts, each on one line with its meaning, and its examples use only
// flags that exist.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kHost = std::string(TALVIK_BINARY_DIR) + "/tools/host/talvik-host";

struct Output {
    int code = -1;
    std::string text;
};

Output RunHelp(const std::string& command) {
    Output r;
    FILE* pipe = popen((kHost + " " + command + " --help 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        r.text.append(buffer, n);
    const int status = pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

// "--name" of each word that starts with "--" (or "[--name"), value stripped.
std::vector<std::string> FlagsIn(const std::string& line) {
    std::vector<std::string> out;
    for (std::string word : Words(line)) {
        const size_t at = word.find("--");
        if (at == std::string::npos || (at != 0 && word[0] != '[')) continue;
        word = word.substr(at);
        const size_t end = word.find_first_of("=]");
        out.push_back(word.substr(0, end));
    }
    return out;
}

const std::vector<std::string> kDevice = {"--address", "--port",    "--user",   "--password",
                                          "--model",   "--sensors", "--inputs", "--outputs"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The flags each subcommand accepts, in the order its help lists them.
const std::map<std::string, std::vector<std::string>> kFlags = {
    {"open", Join(kDevice, {"--codec", "--param", "--module", "--help"})},
    {"record", Join(kDevice, {"--param", "--module", "--input", "--stream", "--codec", "--interval",
                              "--size", "--quality", "--duration", "--out", "--json", "--discard",
                              "--streams", "--help"})},
    {"demo", {"--duration", "--out", "--camsim", "--module", "--help"}},
    {"io", Join(kDevice, {"--codec", "--param", "--watch", "--set", "--module", "--help"})},
};

TEST(HostHelp, EverySubcommandListsItsFlagsWithMeaningsAndExamples) {
    for (const auto& entry : kFlags) {
        const std::string& command = entry.first;
        const Output help = RunHelp(command);
        EXPECT_EQ(help.code, 0) << command;

        std::vector<std::string> listed;
        std::set<std::string> inUsage;
        std::vector<std::string> examples;
        bool inUsageBlock = true;
        bool inExamples = false;
        std::stringstream in(help.text);
        for (std::string line; std::getline(in, line);) {
            if (line.empty()) inUsageBlock = false;
            if (inUsageBlock)
                for (const std::string& flag : FlagsIn(line))
                    inUsage.insert(flag);
            if (line.compare(0, 4, "  --") == 0) {
                const std::vector<std::string> words = Words(line);
                listed.push_back(words[0]);
                // A meaning follows the flag and its value name.
                EXPECT_GE(words.size(), 3u) << command << ": " << line;
            }
            if (line == "example:" || line == "examples:") inExamples = true;
            if (inExamples && line.compare(0, 2, "  ") == 0) examples.push_back(line);
        }
        EXPECT_EQ(listed, entry.second) << command << "\n" << help.text;
        for (const std::string& flag : inUsage)
            EXPECT_NE(std::find(listed.begin(), listed.end(), flag), listed.end())
                << command << ": the usage names " << flag << ", the flag list does not";

        ASSERT_FALSE(examples.empty()) << command << "\n" << help.text;
        for (const std::string& example : examples) {
            EXPECT_EQ(example.compare(0, 15 + command.size(), "  talvik-host " + command + " "), 0)
                << example;
            for (const std::string& flag : FlagsIn(example))
                EXPECT_NE(std::find(listed.begin(), listed.end(), flag), listed.end())
                    << command << " example uses " << flag;
        }
    }
}

TEST(HostHelp, MainHelpListsEveryCommandAndTheCommonFlags) {
    const Output help = RunHelp("");
    EXPECT_EQ(help.code, 0);
    for (const auto& entry : kFlags)
        EXPECT_NE(help.text.find("\n  " + entry.first + " "), std::string::npos) << entry.first;
    std::vector<std::string> listed;
    std::stringstream in(help.text);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 4, "  --") == 0) listed.push_back(Words(line)[0]);
    EXPECT_EQ(listed, (std::vector<std::string>{"--module", "--help"}));
}

}  // namespace

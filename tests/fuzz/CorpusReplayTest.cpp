// Every seed of fuzz/corpus/<target>/ through its target's summary (the fuzz
// targets are built into this program, each registering itself) against the
// summaries committed in fuzz/corpus/<target>.expected. After a deliberate
// change of behaviour TALVIK_WRITE_EXPECTED=1 rewrites them (review the diff).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "fuzz/FuzzTarget.h"
#include "support/TestFiles.h"

namespace {

class CorpusReplay : public ::testing::TestWithParam<std::pair<const std::string, Summary>> {};

TEST_P(CorpusReplay, EverySeedGivesItsSummary) {
    const std::string corpus = std::string(TALVIK_SOURCE_DIR "/fuzz/corpus/") + GetParam().first;
    std::set<std::string> seeds;
    for (const auto& e : std::filesystem::directory_iterator(corpus))
        seeds.insert(e.path().filename().string());
    ASSERT_GE(seeds.size(), 2u) << corpus;
    std::string summary;
    for (const std::string& seed : seeds) {
        const std::string bytes = talvik::test::ReadFile(corpus + "/" + seed);
        summary += "== " + seed + "\n" + GetParam().second({bytes.begin(), bytes.end()});
    }
    if (getenv("TALVIK_WRITE_EXPECTED")) std::ofstream(corpus + ".expected") << summary;
    EXPECT_EQ(talvik::test::ReadFile(corpus + ".expected"), summary);
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(Targets()),
                         [](const auto& info) { return info.param.first; });

}  // namespace

#include "rtsp/RTPSequenceStatistics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talvik {
namespace {

struct SeqCase {
    const char* name;
    std::vector<uint16_t> seqs;
    uint16_t maxSeq;
    uint32_t cycles;
    uint32_t received;
    uint32_t extendedHighest;
};

class SequenceStatisticsTest : public ::testing::TestWithParam<SeqCase> {};

TEST_P(SequenceStatisticsTest, FollowsRfc3550A1) {
    const SeqCase& c = GetParam();
    CRTPSequenceStatistics stats;
    for (uint16_t seq : c.seqs)
        stats.Update(seq);
    EXPECT_EQ(stats.MaxSeq(), c.maxSeq);
    EXPECT_EQ(stats.Cycles(), c.cycles);
    EXPECT_EQ(stats.Received(), c.received);
    EXPECT_EQ(stats.ExtendedHighest(), c.extendedHighest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SequenceStatisticsTest,
    ::testing::Values(
        SeqCase{"WrapCountsOneCycle", {65534, 65535, 0, 1}, 1, 65536, 4, 65537},
        SeqCase{"JumpConfirmedRestarts", {100, 101, 5101, 5102}, 5102, 0, 1, 5102},
        SeqCase{"JumpNotConfirmedKeepsOldRun", {100, 5100, 101}, 101, 0, 2, 101},
        SeqCase{"LargestInOrderGap", {0, 2999}, 2999, 0, 2, 2999},
        SeqCase{"SmallestJump", {0, 3000}, 0, 0, 1, 0},
        SeqCase{"ReorderedCountedNoChange", {10, 11, 9}, 11, 0, 3, 11},
        SeqCase{"ReorderBy99IsMisorder", {1000, 901}, 1000, 0, 2, 1000},
        SeqCase{"ReorderBy100IsJump", {1000, 900}, 1000, 0, 1, 1000},
        SeqCase{"JumpAcrossWrapRestartsCycles", {65535, 0, 30000, 30001}, 30001, 0, 1, 30001}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SequenceStatistics, ExtendedHighestKeepsCountingOverManyWraps) {
    CRTPSequenceStatistics stats;
    for (uint32_t i = 0; i <= 200; ++i)
        stats.Update(uint16_t(i * 1000));
    EXPECT_EQ(stats.ExtendedHighest(), 200000u);
    EXPECT_EQ(stats.Cycles(), 3u * 65536);
    EXPECT_EQ(stats.Received(), 201u);
}

}  // namespace
}  // namespace talvik

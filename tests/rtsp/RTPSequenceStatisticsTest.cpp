#include "rtsp/RTPSequenceStatistics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talvik {
namespace {

// Highest number, cycles, packets received and extended highest number.
TEST(SequenceStatistics, FollowsRfc3550A1) {
    const struct {
        const char* name;
        std::vector<uint16_t> seqs;
        uint16_t maxSeq;
        uint32_t cycles, received, extendedHighest;
    } cases[] = {{"WrapCountsOneCycle", {65534, 65535, 0, 1}, 1, 65536, 4, 65537},
                 {"JumpConfirmedRestarts", {100, 101, 5101, 5102}, 5102, 0, 1, 5102},
                 {"JumpNotConfirmedKeepsOldRun", {100, 5100, 101}, 101, 0, 2, 101},
                 {"LargestInOrderGap", {0, 2999}, 2999, 0, 2, 2999},
                 {"SmallestJump", {0, 3000}, 0, 0, 1, 0},
                 {"ReorderedCountedNoChange", {10, 11, 9}, 11, 0, 3, 11},
                 {"ReorderBy99IsMisorder", {1000, 901}, 1000, 0, 2, 1000},
                 {"ReorderBy100IsJump", {1000, 900}, 1000, 0, 1, 1000},
                 {"JumpAcrossWrapRestartsCycles", {65535, 0, 30000, 30001}, 30001, 0, 1, 30001}};
    for (const auto& c : cases) {
        CRTPSequenceStatistics stats;
        for (uint16_t seq : c.seqs)
            stats.Update(seq);
        EXPECT_EQ(stats.MaxSeq(), c.maxSeq) << c.name;
        EXPECT_EQ(stats.Cycles(), c.cycles) << c.name;
        EXPECT_EQ(stats.Received(), c.received) << c.name;
        EXPECT_EQ(stats.ExtendedHighest(), c.extendedHighest) << c.name;
    }
}

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

#include "rtsp/RTPSequenceStatistics.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/TestFiles.h"

namespace talvik {
namespace {

// Highest number, cycles, packets received and extended highest number.
TEST(SequenceStatistics, FollowsRfc3550A1) {
    for (const auto& row : test::DataRows("rtsp/data/sequence_statistics.txt")) {
        CRTPSequenceStatistics stats;
        std::istringstream seqs(row[1]);
        for (std::string word; seqs >> word;) {
            const size_t dots = word.find("..");  // from..to/step
            const uint32_t from = uint32_t(std::stoul(word));
            const uint32_t to =
                dots == std::string::npos ? from : std::stoul(word.substr(dots + 2));
            const uint32_t step = to == from ? 1 : std::stoul(word.substr(word.find('/') + 1));
            for (uint32_t seq = from; seq <= to; seq += step)
                stats.Update(uint16_t(seq));
        }
        EXPECT_EQ(std::to_string(stats.MaxSeq()) + " | " + std::to_string(stats.Cycles()) + " | " +
                      std::to_string(stats.Received()) + " | " +
                      std::to_string(stats.ExtendedHighest()),
                  row[2] + " | " + row[3] + " | " + row[4] + " | " + row[5])
            << row[0];
    }
}

}  // namespace
}  // namespace talvik

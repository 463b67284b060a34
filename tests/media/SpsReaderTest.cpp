#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media/SpsReader.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;

// Picture sizes of encoder output and of framing edge cases are replayed
// from the sps_reader seeds (CorpusReplayTest).

TEST(SpsReader, EveryCutBeforeTheCropFieldsFails) {
    // The bottom crop offset of this SPS ends in its 11th byte.
    const std::string seed =
        talvik::test::ReadFile(std::string(TALVIK_SOURCE_DIR) + "/fuzz/corpus/sps_reader/hd.264");
    ASSERT_GE(seed.size(), 31u);
    const Bytes au(seed.begin(), seed.begin() + 31);  // the SPS alone
    for (size_t size = 0; size <= au.size(); ++size) {
        uint32_t width = 0;
        uint32_t height = 0;
        EXPECT_EQ(DecodeSpsSize(au.data(), size, width, height), size >= 4 + 11) << size;
    }
    uint32_t width = 1, height = 1;
    EXPECT_FALSE(DecodeSpsSize(nullptr, 16, width, height));
    EXPECT_EQ(width, 0u);
}

// Rows of tests/media/data/exp_golomb.txt: the bits (hex bytes), the value read, failed.
TEST(BitReader, ExpGolombCodes) {
    for (const auto& r : talvik::test::DataRows("media/data/exp_golomb.txt")) {
        Bytes bits;
        for (size_t at = 0; at + 1 < r[0].size(); at += 2)
            bits.push_back(uint8_t(std::stoul(r[0].substr(at, 2), nullptr, 16)));
        CBitReader reader(bits.data(), bits.size());
        EXPECT_EQ(reader.ReadUe(), std::stoul(r[1])) << r[0];
        EXPECT_EQ(reader.Failed(), r[2] == "1") << r[0];
    }
}

}  // namespace
}  // namespace talvik

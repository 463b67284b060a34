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

struct CodeCase {
    Bytes bits;
    uint32_t ue;
    bool failed;
};

TEST(BitReader, ExpGolombCodes) {
    const std::vector<CodeCase> cases = {
        {{0x80}, 0, false},                                                     // 1
        {{0x40}, 1, false},                                                     // 010
        {{0x60}, 2, false},                                                     // 011
        {{0x08, 0x00}, 15, false},                                              // 0000 1000 0
        {{0x00, 0x00, 0x00, 0x01, 0xff, 0xff, 0xff, 0xfe}, 0xfffffffe, false},  // 31 zeros
        {{0x00, 0x00, 0x00, 0x00, 0x80}, 0, true},  // 32 zeros: too long
        {{0x00}, 510, true},                        // past the end bits read as 1
        {{}, 0, true},
    };
    for (const CodeCase& c : cases) {
        CBitReader reader(c.bits.data(), c.bits.size());
        EXPECT_EQ(reader.ReadUe(), c.ue);
        EXPECT_EQ(reader.Failed(), c.failed);
    }
}

}  // namespace
}  // namespace talvik

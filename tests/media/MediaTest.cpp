// The media helpers: Digest and Basic authentication, MD5, Base64 and the
// H.264 picture size.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "media/Base64.h"
#include "media/HttpAuth.h"
#include "media/Md5.h"
#include "media/SpsReader.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace Web;

// Challenges as devices send them, and the RFC 2617 answer, are replayed from
// the www_authenticate seeds (CorpusReplayTest).

TEST(ParseAuthenticate, NullDigestOutputIsAllowed) {
    EXPECT_EQ(ParseAuthenticate({"Digest nonce=\"n\""}, nullptr), kAuthDigest);
}

// RFC 7616 section 3.9.1, MD5
TEST(DigestAuthorization, MatchesPublishedExample) {
    EXPECT_EQ(BuildDigestAuthorization(
                  DigestChallenge{
                      true, "http-auth@example.org", "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v",
                      "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS", "MD5", "auth", false},
                  "Mufasa", "Circle of Life", "GET", "/dir/index.html", "", 1,
                  "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ"),
              "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", "
              "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
              "uri=\"/dir/index.html\", algorithm=MD5, "
              "response=\"8ca523f5e9506fed4657c9700eebdbec\", "
              "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\", qop=auth, "
              "nc=00000001, cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\"");
}

// The nonce count is eight hex digits.
TEST(DigestAuthorization, HostileChallengeCannotAddHeaderLines) {
    DigestChallenge c{true, "a\r\nX-Evil: 1", "n\"o\\", "", "MD5\r\nX: y", "auth", false};
    std::string value = BuildDigestAuthorization(c, "u", "p", "GET", "/", "", 0x1a, "c");
    EXPECT_NE(value.find("nc=0000001a"), std::string::npos);
    EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(value.find("realm=\"aX-Evil: 1\""), std::string::npos);
    EXPECT_NE(value.find("nonce=\"n\\\"o\\\\\""), std::string::npos);
    EXPECT_NE(value.find("algorithm=MD5X"), std::string::npos);
}

// A field of tests/media/data/digests.txt: text, hex:bytes or N*c; "\r\n" is CR LF.
std::string Field(const std::string& f) {
    std::string out = f;
    if (f.rfind("hex:", 0) == 0) {
        out.clear();
        for (size_t i = 4; i + 1 < f.size(); i += 2)
            out.push_back(char(std::stoi(f.substr(i, 2), nullptr, 16)));
    } else if (f.size() > 2 && f[f.size() - 2] == '*' &&
               isdigit(static_cast<unsigned char>(f[0]))) {
        out.assign(std::stoul(f), f.back());
    }
    for (size_t at; (at = out.find("\\r\\n")) != std::string::npos;)
        out.replace(at, 4, "\r\n");
    return out;
}

// Md5 digests, Base64 encodings and Basic credentials, one row a line.
TEST(Md5Base64, MatchReferenceValues) {
    const auto rows = talvik::test::DataRows("media/data/digests.txt", "|");
    for (std::vector<std::string> f : rows) {
        for (std::string& field : f)
            field = Field(field);
        if (f[0] == "md5") {
            EXPECT_EQ(Md5HexDigest(f[1]), f[2]) << f[1];
        } else if (f[0] == "base64") {
            const auto* bytes = reinterpret_cast<const uint8_t*>(f[1].data());
            EXPECT_EQ(Base64Encode(bytes, f[1].size(), f[2] == "1"), f[3]) << f[1];
        } else {
            std::string out = "stale";
            EXPECT_EQ(MakeBasicCredentials(f[1], f[2], out), f[3] == "1") << f[1];
            EXPECT_EQ(out, f[4]) << f[1];
        }
    }
    EXPECT_EQ(rows.size(), 22u);
}

// Picture sizes of encoder output and of framing edge cases are replayed
// from the sps_* seeds of the HTTP media parser corpus (CorpusReplayTest).

TEST(SpsReader, EveryCutBeforeTheCropFieldsFails) {
    // The bottom crop offset of this SPS ends in its 11th byte.
    const std::string seed = talvik::test::ReadFile(std::string(TALVIK_SOURCE_DIR) +
                                                    "/fuzz/corpus/http_media_parser/sps_hd.264");
    ASSERT_GE(seed.size(), 32u);
    // The seed's first byte is the fuzz target's mode; the SPS alone follows.
    const Bytes au(seed.begin() + 1, seed.begin() + 32);
    for (size_t size = 0; size <= au.size(); ++size) {
        uint32_t width = 0;
        uint32_t height = 0;
        EXPECT_EQ(ReadSpsSize(au.data(), size, width, height),
                  size >= 4 + 11 ? SpsSize::kDecoded : SpsSize::kNone)
            << size;
    }
    uint32_t width = 1, height = 1;
    EXPECT_EQ(ReadSpsSize(nullptr, 16, width, height), SpsSize::kNone);
    EXPECT_EQ(width, 0u);
}

// Rows of tests/media/data/exp_golomb.txt: the bits (hex bytes), the value read, failed.
TEST(BitReader, ExpGolombCodes) {
    for (const auto& r : talvik::test::DataRows("media/data/exp_golomb.txt")) {
        const std::string bits = Field("hex:" + r[0]);
        CBitReader reader(reinterpret_cast<const uint8_t*>(bits.data()), bits.size());
        EXPECT_EQ(reader.ReadUe(), std::stoul(r[1])) << r[0];
        EXPECT_EQ(reader.Failed(), r[2] == "1") << r[0];
    }
}

}  // namespace
}  // namespace talvik

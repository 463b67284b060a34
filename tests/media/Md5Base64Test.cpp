#include <gtest/gtest.h>

#include <string>

#include "media/Base64.h"
#include "media/Md5.h"

namespace talvik {
namespace {

// RFC 1321 appendix A.5, then lengths around the 56- and 64-byte padding
// boundaries and bytes that a C-string API would cut (reference: Python hashlib).
TEST(Md5, MatchesReferenceDigests) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(char(i));
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
        {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
        {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
        {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
        {all, "e2c865db4162bed963bfaa9ef6ac18f0"}};
    for (const auto& [input, hex] : cases)
        EXPECT_EQ(Md5HexDigest(input), hex) << input.size();
}

// RFC 4648 section 10, the last two alphabet characters and a NUL byte; with
// line breaks, one CR LF after every 76 characters but none at the end.
TEST(Base64, EncodesWithPaddingAndLineBreaks) {
    std::string line;  // 57 bytes of 'x' encoded: one full line
    for (int i = 0; i < 19; ++i)
        line += "eHh4";
    const struct {
        std::string input, encoded;
        bool lineBreaks;
    } cases[] = {{"", "", false},
                 {"f", "Zg==", false},
                 {"fo", "Zm8=", false},
                 {"foo", "Zm9v", false},
                 {"\xfb\xff\xbf", "+/+/", false},
                 {std::string("\0", 1), "AA==", false},
                 {std::string(57, 'x'), line, true},
                 {std::string(58, 'x'), line + "\r\neA==", true},
                 {std::string(114, 'x'), line + "\r\n" + line, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size(),
                               c.lineBreaks),
                  c.encoded)
            << c.input.size();
    }
}

TEST(Base64, BasicCredentials) {
    const struct {
        std::string user, password;
        bool ok;
        std::string out;
    } cases[] = {{"Aladdin", "open sesame", true, "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},  // RFC 7617
                 {"admin", "", true, "YWRtaW46"},  // the colon stays
                 // The longest accepted, 72 bytes: 96 characters with one CR LF after the 76th;
                 // one byte more leaves the output empty, as does a format-buffer overflow.
                 {std::string(35, 'u'), std::string(36, 'p'), true,
                  "dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXU6cHBwcHBwcHBwcHBwcHBwcHBwcHBw"
                  "\r\ncHBwcHBwcHBwcHBwcHBw"},
                 {std::string(36, 'u'), std::string(36, 'p'), false, ""},
                 {std::string(200, 'u'), "p", false, ""}};
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(MakeBasicCredentials(c.user, c.password, out), c.ok) << c.user.size();
        EXPECT_EQ(out, c.out) << c.user.size();
    }
}

}  // namespace
}  // namespace talvik

#include <gtest/gtest.h>

#include <string>

#include "media/Base64.h"
#include "media/Md5.h"

namespace talvik {
namespace {

std::string AllByteValues() {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(char(i));
    return all;
}

struct DigestCase {
    std::string input;
    const char* hex;
};

class Md5Vectors : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Md5Vectors, MatchesReferenceDigest) {
    EXPECT_EQ(Md5HexDigest(GetParam().input), GetParam().hex);
}

// RFC 1321 appendix A.5, then lengths around the 56- and 64-byte padding
// boundaries and bytes that a C-string API would cut (reference: Python hashlib).
INSTANTIATE_TEST_SUITE_P(
    Rfc1321AndBoundaries, Md5Vectors,
    ::testing::Values(DigestCase{"", "d41d8cd98f00b204e9800998ecf8427e"},
                      DigestCase{"abc", "900150983cd24fb0d6963f7d28e17f72"},
                      DigestCase{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                      DigestCase{std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
                      DigestCase{std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
                      DigestCase{std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
                      DigestCase{std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
                      DigestCase{AllByteValues(), "e2c865db4162bed963bfaa9ef6ac18f0"}));

struct EncodeCase {
    std::string input;
    std::string encoded;
    bool lineBreaks = false;
};

class Base64Vectors : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Base64Vectors, EncodesWithPadding) {
    const std::string& in = GetParam().input;
    EXPECT_EQ(
        Base64Encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), GetParam().lineBreaks),
        GetParam().encoded);
}

const std::string kLine = [] {  // 57 bytes of 'x' encoded: one full line
    std::string line;
    for (int i = 0; i < 19; ++i)
        line += "eHh4";
    return line;
}();

// RFC 4648 section 10, the last two alphabet characters and a NUL byte; with
// line breaks, one CR LF after every 76 characters but none at the end.
INSTANTIATE_TEST_SUITE_P(
    Rfc4648, Base64Vectors,
    ::testing::Values(EncodeCase{"", ""}, EncodeCase{"f", "Zg=="}, EncodeCase{"fo", "Zm8="},
                      EncodeCase{"foo", "Zm9v"}, EncodeCase{"\xfb\xff\xbf", "+/+/"},
                      EncodeCase{std::string("\0", 1), "AA=="},
                      EncodeCase{std::string(57, 'x'), kLine, true},
                      EncodeCase{std::string(58, 'x'), kLine + "\r\neA==", true},
                      EncodeCase{std::string(114, 'x'), kLine + "\r\n" + kLine, true}));

struct CredentialsCase {
    const char* name;
    std::string user;
    std::string password;
    bool ok;
    std::string out;
};

void PrintTo(const CredentialsCase& c, std::ostream* os) {
    *os << c.name;
}

class BasicCredentials : public ::testing::TestWithParam<CredentialsCase> {};

TEST_P(BasicCredentials, EncodesUserPass) {
    std::string out = "stale";
    EXPECT_EQ(MakeBasicCredentials(GetParam().user, GetParam().password, out), GetParam().ok);
    EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BasicCredentials,
    ::testing::Values(
        CredentialsCase{"Rfc7617Example", "Aladdin", "open sesame", true,
                        "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        CredentialsCase{"EmptyPasswordKeepsColon", "admin", "", true, "YWRtaW46"},
        // 72 bytes: 96 characters with one CR LF after the 76th.
        CredentialsCase{
            "LongestAccepted", std::string(35, 'u'), std::string(36, 'p'), true,
            "dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXU6cHBwcHBwcHBwcHBwcHBwcHBwcHBw"
            "\r\ncHBwcHBwcHBwcHBwcHBw"},
        CredentialsCase{"OneByteTooLongLeavesOutEmpty", std::string(36, 'u'), std::string(36, 'p'),
                        false, ""},
        CredentialsCase{"FormatBufferOverflowFails", std::string(200, 'u'), "p", false, ""}),
    [](const ::testing::TestParamInfo<CredentialsCase>& info) { return info.param.name; });

}  // namespace
}  // namespace talvik

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "base/Text.h"

using talvik::GetParamValue;

namespace {

// GetParamValue over reply texts is replayed from the param_value fuzz seeds
// (tests/http/CorpusReplayTest); NUL separates their parts, so it is here.
TEST(GetParamValue, EmbeddedNulIsPlainByte) {
    const std::string text("x=\0&b=2", 7);
    EXPECT_EQ(GetParamValue(text, "b", "=", "&"), "2");
    EXPECT_EQ(GetParamValue(text, "x", "=", "&"), std::string(1, '\0'));
}

TEST(ParseUnsigned, ReadsLikeAThirtyTwoBitStrtoul) {
    struct Case {
        std::string text;
        uint32_t expected;
    } cases[] = {
        {"", 0},
        {"65", 65},
        {"4294967294", 4294967294u},
        {"4294967295", 0},
        {"99999999999", 0},
        {"12a", 12},
        {" 42", 42},
        {"+7", 7},
        {"-1", 0},
        {"-7", 4294967289u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(talvik::ParseUnsigned(c.text), c.expected) << c.text;
}

TEST(FormatString, FormatsAnyLength) {
    EXPECT_EQ(talvik::FormatString("%s:%hu", "10.0.0.5", static_cast<unsigned short>(80)),
              "10.0.0.5:80");
    const std::string big(10000, 'x');
    EXPECT_EQ(talvik::FormatString("<%s>", big.c_str()), "<" + big + ">");
    EXPECT_EQ(talvik::FormatString("%s", ""), "");
}

TEST(TrimAndLower, HandleBlanksTabsAndBytes) {
    EXPECT_EQ(talvik::TrimBlanks(" \t model \t"), "model");
    EXPECT_EQ(talvik::TrimBlanks(" \t "), "");
    EXPECT_EQ(talvik::TrimBlanks("a\nb"), "a\nb");  // only blanks and tabs
    EXPECT_EQ(talvik::ToLowerCase("RTPoverRTSP\xC4"), "rtpoverrtsp\xC4");
}

TEST(ResolveHostAddress, DottedLocalhostAndFailures) {
    EXPECT_EQ(talvik::ResolveHostAddress(""), 0u);
    EXPECT_EQ(talvik::ResolveHostAddress("127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(talvik::ResolveHostAddress("localhost"), htonl(0x7F000001));
    EXPECT_EQ(talvik::ResolveHostAddress("no-such-host.invalid"), 0u);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>

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
    const std::pair<std::string, uint32_t> cases[] = {
        {"", 0},     {"65", 65},          {"4294967294", 4294967294u}, {"4294967295", 0},
        {"12a", 12}, {" 42", 42},         {"99999999999", 0},          {"+7", 7},
        {"-1", 0},   {"-7", 4294967289u},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(talvik::ParseUnsigned(text), expected) << text;
}

TEST(Text, FormatTrimLowerAndResolve) {
    const std::string big(10000, 'x');
    EXPECT_EQ(talvik::FormatString("%s:%hu <%s>", "10.0.0.5", static_cast<unsigned short>(80),
                                   big.c_str()),
              "10.0.0.5:80 <" + big + ">");
    EXPECT_EQ(talvik::TrimBlanks(" \t model \t"), "model");
    EXPECT_EQ(talvik::TrimBlanks(" \t "), "");
    EXPECT_EQ(talvik::TrimBlanks("a\nb"), "a\nb");  // only blanks and tabs
    EXPECT_EQ(talvik::ToLowerCase("RTPoverRTSP\xC4"), "rtpoverrtsp\xC4");
    EXPECT_EQ(talvik::ResolveHostAddress(""), 0u);
    const uint8_t loopback[4] = {127, 0, 0, 1};  // network byte order
    uint32_t expected = 0;
    std::memcpy(&expected, loopback, 4);
    EXPECT_EQ(talvik::ResolveHostAddress("127.0.0.1"), expected);
    EXPECT_EQ(talvik::ResolveHostAddress("localhost"), expected);
    EXPECT_EQ(talvik::ResolveHostAddress("no-such-host.invalid"), 0u);
}

}  // namespace

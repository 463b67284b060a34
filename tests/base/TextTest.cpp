#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cctype>

#include "base/Text.h"

using talvik::GetParamValue;

namespace {

const std::string kHttpDelims = "&\r\n";

struct ParamCase {
    const char* what;
    std::string text, name, assign, delims, expected;
};

void PrintTo(const ParamCase& c, std::ostream* os) {
    *os << c.what;
}

class GetParamValueTest : public ::testing::TestWithParam<ParamCase> {};

TEST_P(GetParamValueTest, FindsExactItem) {
    const ParamCase& c = GetParam();
    EXPECT_EQ(GetParamValue(c.text, c.name, c.assign, c.delims), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Items, GetParamValueTest,
    ::testing::Values(
        ParamCase{"first item", "model=AV2155&fwversion=65", "model", "=", kHttpDelims, "AV2155"},
        ParamCase{"name only inside a longer name", "model=AV2155&fwversion=65", "version", "=",
                  kHttpDelims, ""},
        ParamCase{"inner name skipped, later item found", "client_port=3556-3557;port=7000", "port",
                  "=", ";", "7000"},
        ParamCase{"empty first value passed over", "auxin=&auxin=1", "auxin", "=", kHttpDelims,
                  "1"},
        ParamCase{"blanks around the name, value keeps its blank", " model = AV10005", "model", "=",
                  kHttpDelims, " AV10005"},
        ParamCase{"case counts", "Model=AV1", "model", "=", kHttpDelims, ""},
        ParamCase{"CR LF separated", "sensorwidth=2592\r\nsensorheight=1944\r\n", "sensorheight",
                  "=", kHttpDelims, "1944"},
        ParamCase{"empty delimiters", "a=1", "a", "=", "", ""},
        ParamCase{"no assignment after the name", "model&x", "model", "=", kHttpDelims, ""},
        ParamCase{"assignment lies in a later item", "model&x=1&model=2", "model", "=", kHttpDelims,
                  "2"},
        ParamCase{"multi-char assignment", "a: 1;b: 2", "b", ": ", ";", "2"},
        ParamCase{"name at the very end", "x=1&model", "model", "=", kHttpDelims, ""},
        ParamCase{"name is a suffix of an item name", "sub_name=1&name=2", "name", "=", kHttpDelims,
                  "2"},
        ParamCase{"name is a prefix of an item name", "names=1&name=2", "name", "=", kHttpDelims,
                  "2"}),
    [](const ::testing::TestParamInfo<ParamCase>& info) {
        std::string name;
        for (const char* p = info.param.what; *p; ++p)
            name += std::isalnum(*p) ? *p : '_';
        return name;
    });

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

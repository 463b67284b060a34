#include "media/HttpAuth.h"

#include <gtest/gtest.h>

namespace {

using talvik::Web::BuildDigestAuthorization;
using talvik::Web::DigestChallenge;
using talvik::Web::ParseAuthenticate;
namespace Web = talvik::Web;

struct ChallengeCase {
    const char* name;
    std::vector<std::string> headers;
    uint32_t scheme;
    std::string digest;  // the parsed challenge as Describe writes it
};

std::string Describe(const DigestChallenge& d) {
    return std::string(d.valid ? "valid" : "invalid") + " realm=" + d.realm + " nonce=" + d.nonce +
           " qop=" + d.qop + (d.stale ? " stale" : "");
}

class ParseAuthenticateTest : public ::testing::TestWithParam<ChallengeCase> {};

TEST_P(ParseAuthenticateTest, FirstSchemeAndDigestParameters) {
    const ChallengeCase& c = GetParam();
    DigestChallenge digest;
    EXPECT_EQ(ParseAuthenticate(c.headers, &digest), c.scheme);
    EXPECT_EQ(Describe(digest), c.digest);
}

const std::string kNone = "invalid realm= nonce= qop=";
using Headers = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Challenges, ParseAuthenticateTest,
    ::testing::Values(
        ChallengeCase{
            "DigestBeforeBasic",
            Headers{"Digest realm=\"cam\", nonce=\"abc\", qop=\"auth\"", "Basic realm=\"cam\""},
            Web::kAuthDigest, "valid realm=cam nonce=abc qop=auth"},
        ChallengeCase{"BasicBeforeDigestKeepsBasicFirst",
                      Headers{"Basic realm=\"cam\"", "Digest realm=\"cam\", nonce=\"n\""},
                      Web::kAuthBasic, "valid realm=cam nonce=n qop="},
        ChallengeCase{"TwoChallengesInOneHeaderWithCommaInQuotes",
                      Headers{"Basic realm=\"a, b\", Digest realm=\"x\", nonce=\"n1\", stale=TRUE"},
                      Web::kAuthBasic, "valid realm=x nonce=n1 qop= stale"},
        ChallengeCase{"UnknownSchemeSkipped",
                      Headers{"Bearer realm=\"x\", error=\"y\"", "Digest nonce=\"n\""},
                      Web::kAuthDigest, "valid realm= nonce=n qop="},
        ChallengeCase{"QuotedCommasInRealmAndNonce",
                      Headers{"Digest realm=\"cam, lobby\", nonce=\"a1,b2\", qop=\"auth\""},
                      Web::kAuthDigest, "valid realm=cam, lobby nonce=a1,b2 qop=auth"},
        ChallengeCase{"BareSchemesInOneHeader", Headers{"NTLM, Basic realm=x"}, Web::kAuthNtlm,
                      kNone},
        ChallengeCase{"OnlySeparators", Headers{"   ,  ,", ""}, Web::kAuthNone, kNone},
        ChallengeCase{"DigestWithoutNonceIsNotUsable", Headers{"Digest realm=\"r\""},
                      Web::kAuthDigest, kNone},
        ChallengeCase{"EscapedQuoteAndAuthIntOnly",
                      Headers{"Digest qop=\"auth-int\", nonce=n2, realm=\"r\\\"q\""},
                      Web::kAuthDigest, "valid realm=r\"q nonce=n2 qop=auth-int"},
        ChallengeCase{"AuthPreferredOverAuthInt",
                      Headers{"digest nonce=\"n\", qop=\"auth-int, auth\""}, Web::kAuthDigest,
                      "valid realm= nonce=n qop=auth"},
        ChallengeCase{"UnterminatedQuote", Headers{"Digest realm=\"abc, nonce=\"n"},
                      Web::kAuthDigest, kNone},
        ChallengeCase{"OverlongValueIsCut",
                      Headers{"Digest nonce=\"" + std::string(20000, 'x') + "\""}, Web::kAuthDigest,
                      "valid realm= nonce=" + std::string(8192 - 14, 'x') + " qop="}),
    [](const ::testing::TestParamInfo<ChallengeCase>& info) { return info.param.name; });

TEST(ParseAuthenticate, NullDigestOutputIsAllowed) {
    EXPECT_EQ(ParseAuthenticate({"Digest nonce=\"n\""}, nullptr), Web::kAuthDigest);
}

struct DigestVector {
    const char* name;
    DigestChallenge challenge;
    std::string password;
    std::string cnonce;
    std::string expected;
};

class DigestAuthorizationTest : public ::testing::TestWithParam<DigestVector> {};

TEST_P(DigestAuthorizationTest, MatchesPublishedExample) {
    const DigestVector& v = GetParam();
    EXPECT_EQ(BuildDigestAuthorization(v.challenge, "Mufasa", v.password, "GET", "/dir/index.html",
                                       "", 1, v.cnonce),
              v.expected);
}

DigestChallenge Challenge(std::string realm, std::string nonce, std::string opaque,
                          std::string algorithm, std::string qop) {
    DigestChallenge c;
    c.valid = true;
    c.realm = std::move(realm);
    c.nonce = std::move(nonce);
    c.opaque = std::move(opaque);
    c.algorithm = std::move(algorithm);
    c.qop = std::move(qop);
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, DigestAuthorizationTest,
    ::testing::Values(
        // RFC 2617 section 3.5
        DigestVector{"Rfc2617",
                     Challenge("testrealm@host.com", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                               "5ccc069c403ebaf9f0171e9517f40e41", "", "auth"),
                     "Circle Of Life", "0a4f113b",
                     "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
                     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
                     "response=\"6629fae49393a05397450978507c4ef1\", "
                     "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, "
                     "cnonce=\"0a4f113b\""},
        // RFC 7616 section 3.9.1, MD5
        DigestVector{
            "Rfc7616Md5",
            Challenge("http-auth@example.org", "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v",
                      "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS", "MD5", "auth"),
            "Circle of Life", "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ",
            "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", "
            "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
            "uri=\"/dir/index.html\", algorithm=MD5, "
            "response=\"8ca523f5e9506fed4657c9700eebdbec\", "
            "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\", qop=auth, "
            "nc=00000001, cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\""}),
    [](const ::testing::TestParamInfo<DigestVector>& info) { return info.param.name; });

TEST(DigestAuthorization, HostileChallengeCannotAddHeaderLines) {
    DigestChallenge c = Challenge("a\r\nX-Evil: 1", "n\"o\\", "", "MD5\r\nX: y", "");
    std::string value = BuildDigestAuthorization(c, "u", "p", "GET", "/", "", 1, "c");
    EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(value.find("realm=\"aX-Evil: 1\""), std::string::npos);
    EXPECT_NE(value.find("nonce=\"n\\\"o\\\\\""), std::string::npos);
    EXPECT_NE(value.find("algorithm=MD5X"), std::string::npos);
}

TEST(DigestAuthorization, NonceCountIsEightHexDigits) {
    DigestChallenge c = Challenge("r", "n", "", "", "auth");
    EXPECT_NE(BuildDigestAuthorization(c, "u", "p", "GET", "/", "", 0x1a, "c").find("nc=0000001a"),
              std::string::npos);
}

}  // namespace

#include "media/HttpAuth.h"

#include <gtest/gtest.h>

namespace {

using talvik::Web::BuildDigestAuthorization;
using talvik::Web::DigestChallenge;
using talvik::Web::ParseAuthenticate;
namespace Web = talvik::Web;

// Challenges as devices send them, and the RFC 2617 answer, are replayed from
// the www_authenticate seeds (CorpusReplayTest).

TEST(ParseAuthenticate, NullDigestOutputIsAllowed) {
    EXPECT_EQ(ParseAuthenticate({"Digest nonce=\"n\""}, nullptr), Web::kAuthDigest);
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

}  // namespace

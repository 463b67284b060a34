// HTTP authentication pieces that do not touch the network: reading the
// challenges of WWW-Authenticate headers and answering a Digest challenge
// (RFC 7616 with MD5, as cameras use it).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace talvik {
namespace Web {

// Scheme values, one bit each, so that a set of offered schemes is a mask.
enum AuthScheme : uint32_t {
    kAuthNone = 0,
    kAuthBasic = 1,
    kAuthNtlm = 2,
    kAuthPassport = 4,
    kAuthDigest = 8,
    kAuthNegotiate = 16,
};

struct DigestChallenge {
    bool valid = false;  // a Digest challenge with a nonce was seen
    std::string realm;
    std::string nonce;
    std::string opaque;
    std::string algorithm;  // as sent; empty means MD5
    std::string qop;        // the option chosen: "auth", "auth-int" or empty
    bool stale = false;
};

// One challenge of a WWW-Authenticate value: the scheme name as sent and its
// auth-params in order, quoted-string values unquoted (RFC 7235 section 2.1).
struct AuthChallenge {
    std::string scheme;
    std::vector<std::pair<std::string, std::string>> params;
    // Value of the first parameter of that name (case ignored); empty if none.
    std::string Param(const std::string& name) const;
};

// The challenges of one header value, in order; commas inside quoted strings
// belong to the value. Values longer than 8 KiB are cut there.
std::vector<AuthChallenge> ParseChallenges(const std::string& value);

// Scheme of a name ("Digest", "basic", ...); kAuthNone when unknown.
uint32_t AuthSchemeFromName(const std::string& name);

// Reads the values of the WWW-Authenticate headers in arrival order. Returns
// the first scheme the server offers that is known here (the server's
// preferred one), kAuthNone when there is none. The first Digest challenge
// goes to digest (when not null). Values longer than 8 KiB are cut there.
uint32_t ParseAuthenticate(const std::vector<std::string>& values, DigestChallenge* digest);

// Value of the Authorization header answering challenge for one request.
// nonceCount is the number of requests made with this nonce (1 for the first).
std::string BuildDigestAuthorization(const DigestChallenge& challenge, const std::string& userName,
                                     const std::string& password, const std::string& method,
                                     const std::string& uri, const std::string& body,
                                     uint32_t nonceCount, const std::string& cnonce);

}  // namespace Web
}  // namespace talvik

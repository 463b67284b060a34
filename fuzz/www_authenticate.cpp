// WWW-Authenticate values from a device (separated by LF): the challenge
// reader, and the Digest answer built from what it found for the published
// example's user, password, URI and client nonce (RFC 2617 3.5).
#include "FuzzTarget.h"
#include "media/HttpAuth.h"

namespace {

std::string WwwAuthenticate(const Bytes& in) {
    const std::vector<std::string> values = Split(in, '\n', in.size() + 1);
    Web::DigestChallenge d;
    std::ostringstream out;
    out << "scheme " << Web::ParseAuthenticate(values, &d) << "\n"
        << (d.valid ? "valid" : "invalid") << " realm=" << d.realm << " nonce=" << d.nonce
        << " qop=" << d.qop << " opaque=" << d.opaque << " algorithm=" << d.algorithm
        << (d.stale ? " stale" : "") << "\n";
    if (d.valid) {
        const std::string header = Web::BuildDigestAuthorization(
            d, "Mufasa", "Circle Of Life", "GET", "/dir/index.html", "", 1, "0a4f113b");
        FUZZ_CHECK(header.find_first_of("\r\n") == std::string::npos);
        out << header << "\n";
    }
    return out.str();
}

}  // namespace

FUZZ_TARGET(WwwAuthenticate);

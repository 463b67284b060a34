#include "media/HttpAuth.h"

#include <cstddef>

#include "base/Text.h"
#include "media/Md5.h"

namespace talvik {
namespace Web {

namespace {

constexpr size_t kMaxHeaderValue = 8192;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsTokenChar(char c) {
    if (c <= 0x20 || c >= 0x7f) return false;
    switch (c) {
        case '(':
        case ')':
        case '<':
        case '>':
        case '@':
        case ',':
        case ';':
        case ':':
        case '\\':
        case '"':
        case '/':
        case '[':
        case ']':
        case '?':
        case '=':
        case '{':
        case '}':
            return false;
        default:
            return true;
    }
}

// Cursor over one header value.
struct Cursor {
    const std::string& text;
    size_t pos = 0;

    bool AtEnd() const { return pos >= text.size(); }
    char Peek() const { return AtEnd() ? '\0' : text[pos]; }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(text[pos]))
            ++pos;
    }
    std::string Token() {
        size_t start = pos;
        while (!AtEnd() && IsTokenChar(text[pos]))
            ++pos;
        return text.substr(start, pos - start);
    }
    // A quoted string (without quotes, escapes resolved) or a token.
    std::string Value() {
        if (Peek() != '"') {
            // token68 may end in '='
            std::string value = Token();
            while (Peek() == '=')
                value += text[pos++];
            return value;
        }
        ++pos;
        std::string value;
        while (!AtEnd() && text[pos] != '"') {
            if (text[pos] == '\\' && pos + 1 < text.size()) ++pos;
            value += text[pos++];
        }
        if (!AtEnd()) ++pos;  // closing quote
        return value;
    }
    // Skips to just past the next comma outside quotes.
    void SkipItem() {
        bool quoted = false;
        while (!AtEnd()) {
            char c = text[pos++];
            if (quoted && c == '\\' && !AtEnd()) {
                ++pos;
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                return;
            }
        }
    }
};

std::string ChooseQop(const std::string& offered) {
    bool auth = false;
    bool authInt = false;
    size_t start = 0;
    while (start <= offered.size()) {
        size_t end = offered.find(',', start);
        if (end == std::string::npos) end = offered.size();
        std::string option = ToLowerCase(TrimBlanks(offered.substr(start, end - start)));
        if (option == "auth") auth = true;
        if (option == "auth-int") authInt = true;
        start = end + 1;
    }
    if (auth) return "auth";
    if (authInt) return "auth-int";
    return std::string();
}

void SetDigestParam(DigestChallenge* digest, const std::string& name, const std::string& value) {
    std::string key = ToLowerCase(name);
    if (key == "realm") {
        digest->realm = value;
    } else if (key == "nonce") {
        digest->nonce = value;
    } else if (key == "opaque") {
        digest->opaque = value;
    } else if (key == "algorithm") {
        digest->algorithm = value;
    } else if (key == "qop") {
        digest->qop = ChooseQop(value);
    } else if (key == "stale") {
        digest->stale = ToLowerCase(value) == "true";
    }
}

// Printable text for a quoted-string of our own request: no control bytes
// (a hostile challenge must not inject header lines), quotes escaped.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) continue;
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// Token values (algorithm) keep token characters only.
std::string TokenOnly(const std::string& text) {
    std::string out;
    for (char c : text)
        if (IsTokenChar(c)) out += c;
    return out;
}

}  // namespace

uint32_t AuthSchemeFromName(const std::string& name) {
    std::string lower = ToLowerCase(name);
    if (lower == "basic") return kAuthBasic;
    if (lower == "ntlm") return kAuthNtlm;
    if (lower == "passport1.4") return kAuthPassport;
    if (lower == "digest") return kAuthDigest;
    if (lower == "negotiate") return kAuthNegotiate;
    return kAuthNone;
}

std::string AuthChallenge::Param(const std::string& name) const {
    const std::string wanted = ToLowerCase(name);
    for (const auto& param : params) {
        if (ToLowerCase(param.first) == wanted) return param.second;
    }
    return std::string();
}

std::vector<AuthChallenge> ParseChallenges(const std::string& full) {
    std::vector<AuthChallenge> challenges;
    const std::string value = full.substr(0, kMaxHeaderValue);
    Cursor cur{value};
    while (!cur.AtEnd()) {
        cur.SkipBlanks();
        if (cur.Peek() == ',') {
            ++cur.pos;
            continue;
        }
        std::string token = cur.Token();
        if (token.empty()) {
            cur.SkipItem();
            continue;
        }
        cur.SkipBlanks();
        if (cur.Peek() == '=') {
            // auth-param of the current challenge
            ++cur.pos;
            cur.SkipBlanks();
            std::string param = cur.Value();
            if (!challenges.empty()) challenges.back().params.emplace_back(token, param);
            cur.SkipBlanks();
            if (cur.Peek() == ',') ++cur.pos;
            continue;
        }
        // A new challenge begins with its scheme name.
        challenges.push_back(AuthChallenge{token, {}});
        // "scheme token68" or "scheme param=value": the first parameter
        // follows the blank directly.
        size_t mark = cur.pos;
        std::string name = cur.Token();
        cur.SkipBlanks();
        const bool param = !name.empty() && cur.Peek() == '=' && cur.pos + 1 < value.size() &&
                           value[cur.pos + 1] != '=';
        cur.pos = mark;
        if (!param) cur.SkipItem();  // token68 or nothing
    }
    return challenges;
}

uint32_t ParseAuthenticate(const std::vector<std::string>& values, DigestChallenge* digest) {
    uint32_t first = kAuthNone;
    bool digestSeen = false;
    for (const std::string& value : values) {
        for (const AuthChallenge& challenge : ParseChallenges(value)) {
            const uint32_t scheme = AuthSchemeFromName(challenge.scheme);
            if (first == kAuthNone) first = scheme;
            if (scheme != kAuthDigest || digestSeen) continue;
            DigestChallenge found;
            for (const auto& param : challenge.params)
                SetDigestParam(&found, param.first, param.second);
            digestSeen = !found.nonce.empty();
            if (digestSeen && digest) *digest = found;
        }
    }
    if (digest && digestSeen) digest->valid = true;
    return first;
}

std::string BuildDigestAuthorization(const DigestChallenge& challenge, const std::string& userName,
                                     const std::string& password, const std::string& method,
                                     const std::string& uri, const std::string& body,
                                     uint32_t nonceCount, const std::string& cnonce) {
    const std::string nc = FormatString("%08x", nonceCount);
    std::string ha1 = Md5HexDigest(userName + ":" + challenge.realm + ":" + password);
    if (ToLowerCase(challenge.algorithm) == "md5-sess")
        ha1 = Md5HexDigest(ha1 + ":" + challenge.nonce + ":" + cnonce);
    std::string ha2 = challenge.qop == "auth-int"
                          ? Md5HexDigest(method + ":" + uri + ":" + Md5HexDigest(body))
                          : Md5HexDigest(method + ":" + uri);
    std::string response = challenge.qop.empty()
                               ? Md5HexDigest(ha1 + ":" + challenge.nonce + ":" + ha2)
                               : Md5HexDigest(ha1 + ":" + challenge.nonce + ":" + nc + ":" +
                                              cnonce + ":" + challenge.qop + ":" + ha2);

    std::string out = "Digest username=" + Quote(userName) + ", realm=" + Quote(challenge.realm) +
                      ", nonce=" + Quote(challenge.nonce) + ", uri=" + Quote(uri);
    if (!challenge.algorithm.empty()) out += ", algorithm=" + TokenOnly(challenge.algorithm);
    out += ", response=" + Quote(response);
    if (!challenge.opaque.empty()) out += ", opaque=" + Quote(challenge.opaque);
    if (!challenge.qop.empty())
        out += ", qop=" + challenge.qop + ", nc=" + nc + ", cnonce=" + Quote(cnonce);
    return out;
}

}  // namespace Web
}  // namespace talvik

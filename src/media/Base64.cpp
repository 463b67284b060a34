#include "media/Base64.h"

#include <cstdio>

namespace talvik {

namespace {

constexpr size_t kLineLength = 76;
constexpr size_t kCredentialsBufferSize = 100;

}  // namespace

std::string Base64Encode(const uint8_t* data, size_t size, bool lineBreaks) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4 + (lineBreaks ? (size / 57 + 1) * 2 : 0));
    size_t onLine = 0;
    auto put = [&](char c) {
        if (lineBreaks && onLine == kLineLength) {
            out += "\r\n";
            onLine = 0;
        }
        out.push_back(c);
        ++onLine;
    };
    size_t i = 0;
    for (; size - i >= 3; i += 3) {
        const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put(kAlphabet[v & 63]);
    }
    const size_t rest = size - i;
    if (rest) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (rest == 2) v |= uint32_t(data[i + 1]) << 8;
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        put('=');
    }
    return out;
}

bool MakeBasicCredentials(const std::string& userName, const std::string& password,
                          std::string& out) {
    out.clear();
    char joined[kCredentialsBufferSize];
    const int written =
        std::snprintf(joined, sizeof(joined), "%s:%s", userName.c_str(), password.c_str());
    if (written < 0) return false;
    const size_t length = size_t(written) < sizeof(joined) ? size_t(written) : sizeof(joined) - 1;

    // Conservative size check before encoding: the encoded characters plus one
    // CR LF per full line and one more.
    const size_t encoded = (length + 2) / 3 * 4;
    const size_t needed = encoded + 2 * (encoded / kLineLength + 1);
    if (needed > kCredentialsBufferSize) return false;

    out = Base64Encode(reinterpret_cast<const uint8_t*>(joined), length, true);
    return true;
}

}  // namespace talvik

#include "base/Text.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Sockets.h"

namespace talvik {

std::string GetParamValue(const std::string& text, const std::string& name,
                          const std::string& assign, const std::string& delimiters) {
    if (name.empty() || assign.empty() || delimiters.empty()) return std::string();

    size_t from = 0;
    while (from <= text.size()) {
        const size_t namePos = text.find(name, from);
        if (namePos == std::string::npos) return std::string();

        // The item runs from just after the last delimiter before the name to
        // the first delimiter at or after it.
        const size_t lastDelim =
            namePos == 0 ? std::string::npos : text.find_last_of(delimiters, namePos - 1);
        const size_t itemStart = lastDelim == std::string::npos ? 0 : lastDelim + 1;
        size_t itemEnd = text.find_first_of(delimiters, namePos);
        if (itemEnd == std::string::npos) itemEnd = text.size();

        const size_t assignPos = text.find(assign, namePos);
        if (assignPos == std::string::npos) return std::string();

        if (assignPos + assign.size() <= itemEnd) {
            const std::string itemName = TrimBlanks(text.substr(itemStart, assignPos - itemStart));
            const size_t valueStart = assignPos + assign.size();
            if (itemName == name && valueStart < itemEnd) {
                return text.substr(valueStart, itemEnd - valueStart);
            }
            from = itemEnd;
        } else {
            from = assignPos;
        }
        // Always make progress, even for an item that ends where it starts.
        if (from <= namePos) from = namePos + 1;
    }
    return std::string();
}

std::string FormatStringV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(length));
    return out;
}

std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatStringV(format, args);
    va_end(args);
    return out;
}

std::string TrimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string ToLowerCase(const std::string& text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

uint32_t ParseUnsigned(const std::string& text) {
    // Behaves like a 32-bit strtoul: leading white space and a sign are taken,
    // reading stops at the first non-digit (or NUL), a minus negates modulo 2^32,
    // and an out-of-range magnitude gives the overflow value, which reads as 0.
    const char* p = text.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint64_t magnitude = 0;
    bool digits = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        digits = true;
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
        if (magnitude > 0xFFFFFFFFull) return 0;
    }
    if (!digits) return 0;
    const uint32_t value = static_cast<uint32_t>(magnitude);
    const uint32_t result = negative ? 0u - value : value;
    return result == 0xFFFFFFFFu ? 0 : result;
}

namespace {
std::atomic<HostResolver> g_resolver{nullptr};
}  // namespace

void SetHostResolver(HostResolver resolver) {
    g_resolver = resolver;
}

uint32_t ResolveHostAddress(const std::string& host) {
    if (host.empty()) return 0;
    if (const HostResolver resolver = g_resolver) return resolver(host);
    return SystemResolveIPv4(host);
}

}  // namespace talvik

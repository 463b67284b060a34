#include "rtsp/RTSPText.h"

#include <cctype>
#include <climits>
#include <cstdlib>

#include "base/Text.h"

namespace talvik {
namespace rtsptext {

uint32_t AllDigits(const std::string& text) {
    if (text.empty()) return 0;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) return 0;
    }
    return static_cast<uint32_t>(value);
}

int32_t LeadingDigits(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) value = INT32_MAX;  // saturate instead of overflowing
    }
    return static_cast<int32_t>(negative ? -value : value);
}

std::vector<std::string> Split(const std::string& text, const std::string& separators) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = text.find_first_not_of(separators, pos);
        if (start == std::string::npos) break;
        size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos) end = text.size();
        pieces.push_back(text.substr(start, end - start));
        pos = end;
    }
    return pieces;
}

std::string ReadResponseLine(const std::string& text, size_t& pos) {
    if (pos == std::string::npos || pos >= text.size()) {
        pos = std::string::npos;
        return std::string();
    }
    const size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
        pos = std::string::npos;
        return std::string();
    }
    std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    return line;
}

std::string ReadDescriptionLine(const std::string& text, size_t& pos) {
    if (pos >= text.size()) {
        pos = text.size();
        return std::string();
    }
    const size_t start = text.find_first_not_of("\r\n", pos);
    if (start == std::string::npos) {
        pos = text.size();
        return std::string();
    }
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
        pos = text.size();
        return text.substr(start);
    }
    pos = end + 1;
    return text.substr(start, end - start);
}

std::string HeaderName(const std::string& line) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon < 2) return std::string();
    return TrimBlanks(line.substr(0, colon));
}

bool ScanUnsigned(const std::string& line, const std::string& prefix, uint64_t& value) {
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    size_t i = prefix.size();
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
        ++i;
    if (i >= line.size() || line[i] < '0' || line[i] > '9') return false;
    uint64_t result = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        result = result * 10 + static_cast<uint64_t>(line[i] - '0');
        if (result > UINT32_MAX) result = UINT32_MAX;  // a value this large is absurd anyway
    }
    value = result;
    return true;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ToLowerCase(a) == ToLowerCase(b);
}

}  // namespace rtsptext
}  // namespace talvik

// GetParamValue over arbitrary text. The input is cut at its first three NUL
// bytes into text, name, assignment and delimiters (missing parts are empty).
// A value found is a piece of the text that holds no delimiter.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string parts[4];
    size_t from = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? input.find('\0', from) : std::string::npos;
        parts[i] = input.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (end == std::string::npos) break;
        from = end + 1;
    }
    const std::string& text = parts[0];
    const std::string& delimiters = parts[3];
    const std::string value = talvik::GetParamValue(text, parts[1], parts[2], delimiters);
    if (value.empty()) return 0;
    if (parts[1].empty() || parts[2].empty() || delimiters.empty()) std::abort();
    if (value.find_first_of(delimiters) != std::string::npos) std::abort();
    if (text.find(value) == std::string::npos) std::abort();
    return 0;
}

// GetParamValue over arbitrary text: text, name, assignment and delimiters,
// separated by NUL (missing parts are empty). A value found is a piece of the
// text that holds no delimiter.
#include "FuzzTarget.h"
#include "base/Text.h"

namespace {

using namespace talvik_fuzz;

std::string ParamValue(const Bytes& in) {
    std::vector<std::string> parts(1);
    for (uint8_t c : in)
        if (c == 0 && parts.size() < 4)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(c));
    parts.resize(4);
    const std::string value = GetParamValue(parts[0], parts[1], parts[2], parts[3]);
    FUZZ_CHECK(value.empty() || (!parts[1].empty() && !parts[2].empty() && !parts[3].empty() &&
                                 value.find_first_of(parts[3]) == std::string::npos &&
                                 parts[0].find(value) != std::string::npos));
    return "\"" + value + "\"\n";
}

}  // namespace

FUZZ_TARGET(ParamValue);

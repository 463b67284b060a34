// GetParamValue over arbitrary text: text, name, assignment and delimiters,
// separated by NUL (missing parts are empty). A value found is a piece of the
// text that holds no delimiter.
#include "FuzzTarget.h"
#include "base/Text.h"

namespace {

std::string ParamValue(const Bytes& in) {
    std::vector<std::string> parts = Split(in, 0, 4);
    parts.resize(4);
    const std::string value = GetParamValue(parts[0], parts[1], parts[2], parts[3]);
    FUZZ_CHECK(value.empty() || (!parts[1].empty() && !parts[2].empty() && !parts[3].empty() &&
                                 value.find_first_of(parts[3]) == std::string::npos &&
                                 parts[0].find(value) != std::string::npos));
    return "\"" + value + "\"\n";
}

}  // namespace

FUZZ_TARGET(ParamValue);

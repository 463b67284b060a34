#include "Options.h"

#include <cstring>
#include <map>

namespace talvik_host {

bool ParseNumber(const std::string& text, uint32_t max, uint32_t* out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > max) return false;
    *out = uint32_t(value);
    return true;
}

bool ParseFlags(const std::vector<Flag>& flags, int argc, char** argv, int first,
                std::string* error) {
    std::map<std::string, int> seen;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInlineValue = true;
        }
        const Flag* flag = nullptr;
        for (const Flag& f : flags)
            if (arg == f.name) flag = &f;
        if (flag == nullptr) {
            *error = "unknown argument '" + std::string(argv[i]) + "'";
            return false;
        }
        if (++seen[arg] > 1 && !flag->repeatable) {
            *error = arg + " given more than once";
            return false;
        }
        if (flag->valueName != nullptr && !hasInlineValue) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value (" + flag->valueName + ")";
                return false;
            }
            value = argv[++i];
        } else if (flag->valueName == nullptr && hasInlineValue) {
            *error = arg + " takes no value";
            return false;
        }
        const std::string problem = flag->apply(value);
        if (!problem.empty()) {
            *error = arg + ": " + problem;
            return false;
        }
    }
    for (const Flag& f : flags) {
        if (f.required && seen.count(f.name) == 0) {
            *error = std::string(f.name) + " is required";
            return false;
        }
    }
    return true;
}

std::string FlagHelp(const std::vector<Flag>& flags) {
    std::string out;
    for (const Flag& f : flags) {
        std::string left = std::string("  ") + f.name;
        if (f.valueName != nullptr) left += std::string(" ") + f.valueName;
        if (left.size() < 24)
            left.resize(24, ' ');
        else
            left += "  ";
        out += left + f.meaning + "\n";
    }
    out += std::string("  --help") + std::string(16, ' ') + "this text\n";
    return out;
}

}  // namespace talvik_host

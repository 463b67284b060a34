// Command-line parsing shared by the subcommands: each declares its flags once
// and gets parsing, error messages and help text from that declaration.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace talvik_host {

struct Flag {
    const char* name;       // "--port"
    const char* valueName;  // "P"; null for a flag without a value
    const char* meaning;    // one line
    // Takes the value; returns an error text, empty when the value is fine.
    std::function<std::string(const std::string&)> apply;
    bool required = false;
    bool repeatable = false;
};

// Parses argv from `first` on. On an error returns false with a message
// naming the flag. Flags given twice are errors unless repeatable.
bool ParseFlags(const std::vector<Flag>& flags, int argc, char** argv, int first,
                std::string* error);

// "  --port P       HTTP port of the device (default 80)" lines, then --help.
std::string FlagHelp(const std::vector<Flag>& flags);

// Whole text as an unsigned decimal number not above max.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* out);

}  // namespace talvik_host

// Outcome of a camera request: the level a caller would report it with, a
// numeric code (0 = success) and a ready-made message.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

class CResultDef {
public:
    virtual ~CResultDef() = default;

    // Stores level and code and formats the message (printf rules); a null
    // format leaves the message empty. Never throws.
    void SetResultEx(uint32_t newLevel, uint32_t newCode, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

    bool IsOk() const { return code == 0; }

    uint32_t level = 3;  // severity of the logging scale; 3 (information) on success
    uint32_t code = 0;   // 0 = success
    std::string message;
};

}  // namespace talvik

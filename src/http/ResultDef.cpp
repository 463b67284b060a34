#include "http/ResultDef.h"

#include <cstdarg>

#include "ThreadCancel.h"
#include "base/Text.h"

namespace talvik {

void CResultDef::SetResultEx(uint32_t newLevel, uint32_t newCode, const char* format, ...) {
    level = newLevel;
    code = newCode;
    message.clear();
    if (!format) return;
    try {
        va_list args;
        va_start(args, format);
        std::string text = FormatStringV(format, args);
        va_end(args);
        message.swap(text);
    } catch (...) {
        RethrowThreadCancellation();
        try {
            message =
                "talvik::CResultDef::SetResultEx: Unexpected exception during string formatting.";
        } catch (...) {
            RethrowThreadCancellation();
        }
    }
}

}  // namespace talvik

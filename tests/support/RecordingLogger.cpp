#include "support/RecordingLogger.h"

#include <cstdarg>

#include "base/Text.h"

namespace talvik_test {

void RecordingLogger::DebugMessage(uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = talvik::FormatStringV(format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back({level, std::move(text)});
}

std::vector<LogLine> RecordingLogger::Lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

size_t RecordingLogger::Count(uint32_t level) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = 0;
    for (const LogLine& line : lines_)
        n += line.level == level;
    return n;
}

}  // namespace talvik_test

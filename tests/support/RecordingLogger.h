// An IDebugMessage that keeps every formatted line, for asserting exact
// messages and levels. Thread-safe.
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "base/Debug.h"

namespace talvik_test {

struct LogLine {
    uint32_t level;
    std::string text;
    bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
};

inline void PrintTo(const LogLine& line, std::ostream* os) {
    *os << "[" << line.level << "] " << line.text;
}

class RecordingLogger : public talvik::IDebugMessage {
public:
    std::string GetSourceName() override { return "127.0.0.1:80"; }
    void DebugMessage(uint32_t level, const char* format, ...) override
        __attribute__((format(printf, 3, 4)));

    std::vector<LogLine> Lines() const;
    size_t Count(uint32_t level) const;

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

}  // namespace talvik_test

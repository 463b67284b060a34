// The module's logging: every component reports through an IDebugMessage (the
// driver object), which formats the text, adapts the level to the host's
// version and hands a CDebugInfo to the host's debug sink.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "base/Lock.h"
#include "talvik/DebugSink.h"

namespace talvik {

enum DebugLevel : uint32_t {
    kLevelError = 1,
    kLevelWarning = 2,
    kLevelInfo = 3,
    kLevelNever = 4,  // formatted, then dropped
    kLevelNotice = 100,
};

class IDebugMessage {
public:
    virtual ~IDebugMessage() = default;
    // The device of this driver instance: "address:port".
    virtual std::string GetSourceName() = 0;
    // printf-style; never throws, never fails its caller.
    virtual void DebugMessage(uint32_t level, const char* format, ...)
        __attribute__((format(printf, 3, 4))) = 0;
};

class CDebugInfo : public CDebugInfoIf {
public:
    CDebugInfo(uint8_t level, const char* text);
    ~CDebugInfo() override;
    CDebugInfo(const CDebugInfo&) = delete;
    CDebugInfo& operator=(const CDebugInfo&) = delete;

    uint8_t GetLevel() const override { return level_; }
    const char* GetText() const override { return text_; }

private:
    uint8_t level_;
    char* text_;  // owned; null for an empty text
};

// Product version of the host core library.
struct HostCoreVersion {
    uint16_t major = 5;
    uint16_t minor = 12;
    uint16_t build = 0;
    uint16_t revision = 0;
};

// Reads the product version of the host core library: on Windows from the
// version resource of "vantrel.dll", on Linux from the file name the dynamic
// loader finds ("libvantrel.so.MAJOR.MINOR.BUILD.REV"); 5.12.0.0 when there
// is none or it carries no full version.
HostCoreVersion ReadHostCoreVersion();

// Older hosts do not know the information and notice levels.
uint8_t AdaptLevel(uint32_t level, const HostCoreVersion& host);

// Formats, adapts and reports one message to sink (which may be null).
// Throws nothing but the unwinding of a cancelled thread: the host's sink may
// block, so a forced end can come through here.
void ForwardDebugMessageV(IHostDebugSink* sink, const HostCoreVersion& host, uint32_t level,
                          const char* format, va_list args);

// Report throttle on a counter of distinct messages: the first 14 pass, then
// one in 16, one in 256, one in 4096; the counter cycles back to 4095 at 65535.
bool ReportThrottleDue(uint32_t* counter);

// Mix-in that drops a message identical to the last one forwarded and thins
// out floods of distinct messages.
class CLoggerInstance {
public:
    explicit CLoggerInstance(IDebugMessage* sink);
    virtual ~CLoggerInstance() = default;

    void Log(uint32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Ends the current run of identical messages: the next message is offered
    // to the throttle even when it equals the last one forwarded.
    void EndRepeat();

private:
    IDebugMessage* sink_;
    uint32_t reportCounter_ = 0;
    CLock lock_;
    std::string lastMessage_;
};

}  // namespace talvik

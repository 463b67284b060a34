#include "base/Debug.h"

#include <cstring>
#include <new>

#include "ThreadCancel.h"
#include "base/Text.h"
#include "platform/Host.h"

namespace talvik {

CDebugInfo::CDebugInfo(uint8_t level, const char* text) : level_(level), text_(nullptr) {
    if (text != nullptr && *text != '\0') {
        const size_t length = std::strlen(text);
        text_ = new (std::nothrow) char[length + 1];
        if (text_ != nullptr) std::memcpy(text_, text, length + 1);
    }
}

CDebugInfo::~CDebugInfo() {
    delete[] text_;
}

HostCoreVersion ReadHostCoreVersion() {
    HostCoreVersion version;  // 5.12.0.0
    uint16_t numbers[4];
    if (FindHostCoreVersion(numbers)) {
        version.major = numbers[0];
        version.minor = numbers[1];
        version.build = numbers[2];
        version.revision = numbers[3];
    }
    return version;
}

uint8_t AdaptLevel(uint32_t level, const HostCoreVersion& host) {
    const bool before512 = host.major < 5 || (host.major == 5 && host.minor < 12);
    const bool before63 = host.major < 6 || (host.major == 6 && host.minor < 3);
    if (before512) {
        if (level == kLevelInfo || level == kLevelNotice) level = kLevelWarning;
    } else if (before63) {
        if (level == kLevelNotice) level = kLevelInfo;
    }
    return static_cast<uint8_t>(level);
}

void ForwardDebugMessageV(IHostDebugSink* sink, const HostCoreVersion& host, uint32_t level,
                          const char* format, va_list args) {
    try {
        const std::string text = FormatStringV(format, args);
        if (level == kLevelNever || sink == nullptr) return;
        CDebugInfo info(AdaptLevel(level, host), text.c_str());
        sink->Report(&info);
    } catch (...) {
        RethrowThreadCancellation();
        // Logging never fails its caller; a sink that throws loses its line.
    }
}

bool ReportThrottleDue(uint32_t* counter) {
    const uint32_t n = ++*counter;
    if (n == 65535) {
        *counter = 4095;
        return false;
    }
    if (n < 15) return true;
    if (n < 255) return n % 16 == 0;
    if (n < 4095) return n % 256 == 0;
    return n % 4096 == 0;
}

CLoggerInstance::CLoggerInstance(IDebugMessage* sink) : sink_(sink) {}

void CLoggerInstance::Log(uint32_t level, const char* format, ...) {
    try {
        va_list args;
        va_start(args, format);
        const std::string text = FormatStringV(format, args);
        va_end(args);
        if (text.empty()) return;
        CLockGuard guard(lock_);
        if (text == lastMessage_) return;
        if (!ReportThrottleDue(&reportCounter_)) return;
        lastMessage_ = text;
        if (sink_ != nullptr) sink_->DebugMessage(level, "%s", text.c_str());
    } catch (...) {
        RethrowThreadCancellation();
        // Logging never fails its caller.
    }
}

void CLoggerInstance::EndRepeat() {
    CLockGuard guard(lock_);
    lastMessage_.clear();
}

}  // namespace talvik

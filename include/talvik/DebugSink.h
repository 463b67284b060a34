// Diagnostic records the module hands to the host.
//
// Slot-order rule for every host-facing interface: the host calls by slot
// position, so operations are never reordered or removed; new ones are only
// appended (in a new interface version).
#pragma once

#include <cstdint>

#include "talvik/Abi.h"

namespace talvik {

// One diagnostic line. Valid only for the duration of IHostDebugSink::Report:
// the host copies what it needs.
class CDebugInfoIf {
public:
    TALVIK_DESTRUCTOR_SLOT(CDebugInfoIf);
    // 1 error, 2 warning, 3 information, 100 notice (already adapted to the
    // host's version).
    virtual uint8_t GetLevel() const = 0;
    // Zero-terminated text without a line terminator, or null for an empty message.
    virtual const char* GetText() const = 0;
    TALVIK_DESTRUCTOR_TAIL(CDebugInfoIf);
};

// Implemented by the host. Called from any module thread, possibly from
// several at once: the host must accept concurrent calls.
class IHostDebugSink {
public:
    TALVIK_DESTRUCTOR_SLOT(IHostDebugSink);
    virtual void Report(const CDebugInfoIf* info) = 0;
    TALVIK_DESTRUCTOR_TAIL(IHostDebugSink);
};

}  // namespace talvik

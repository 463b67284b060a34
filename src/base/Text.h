// Text helpers shared by every reader of camera answers (HTTP control replies,
// RTSP headers, SDP attributes, settings values). All take arbitrary bytes and
// never read past their input.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform/Event.h"

namespace talvik {

// Value of the item `name` in a list such as "model=AV2155&fwversion=65":
// `assign` separates name and value, any character of `delimiters` ends an item.
// A name inside a longer name is not matched, an item with an empty value is
// passed over, and the first matching item with a value wins. Empty when absent.
std::string GetParamValue(const std::string& text, const std::string& name,
                          const std::string& assign, const std::string& delimiters);

// printf into a string of any length; an invalid format yields an empty string.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatStringV(const char* format, va_list args);

// Without leading and trailing blanks and tabs.
std::string TrimBlanks(const std::string& text);

// Lower-case copy by the C locale's per-character mapping.
std::string ToLowerCase(const std::string& text);

// Whole text as an unsigned decimal number; empty text, "0" and overflow give 0.
uint32_t ParseUnsigned(const std::string& text);

// How long a name look-up may take unless the caller says otherwise: the
// device time-out, so that a capture thread stuck in one still meets its stop.
constexpr uint32_t kNameLookupLimitMs = 5000;

// First IPv4 address of a host name or dotted address, in network byte order;
// 0 for an empty text, a name that does not resolve within timeoutMs, or once
// `stop` (if given) is signalled, which stays signalled. A dotted address is
// read without a look-up. A name is looked up on a thread of its own, which a
// caller that gives up leaves to end by itself; callers asking for a name
// whose look-up is still running share it.
uint32_t ResolveHostAddress(const std::string& host, CEvent* stop = nullptr,
                            uint32_t timeoutMs = kNameLookupLimitMs);

// Replaces the system resolver behind ResolveHostAddress (null restores it),
// so that tests can make a name fail and then resolve.
using HostResolver = uint32_t (*)(const std::string& host);
void SetHostResolver(HostResolver resolver);

}  // namespace talvik

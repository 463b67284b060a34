// Small text rules shared by the RTSP response, Transport and SDP readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace talvik {
namespace rtsptext {

// Whole text as a decimal number when every character is a digit; any other
// character, an empty text or an overflow gives 0.
uint32_t AllDigits(const std::string& text);

// C library style leading-digits conversion (blanks and a sign allowed before
// the digits, conversion stops at the first non-digit); 0 without digits.
int32_t LeadingDigits(const std::string& text);

// Pieces between separator characters; empty pieces are dropped.
std::vector<std::string> Split(const std::string& text, const std::string& separators);

// Reads the line at `pos` for a response: up to the first CR or LF; the next
// line starts two characters further on (CR LF endings). Without a CR or LF the
// line is empty and `pos` becomes npos.
std::string ReadResponseLine(const std::string& text, size_t& pos);

// Reads the next line for SDP and Transport: skips a run of CR and LF, takes
// the text up to the next CR or LF and continues one character after it. At the
// end of the text the line is empty and `pos` is the text length.
std::string ReadDescriptionLine(const std::string& text, size_t& pos);

// Header name of "Name: value" (text before the first ':' trimmed) when that
// colon stands at position 2 or later; empty otherwise.
std::string HeaderName(const std::string& line);

// Literal scan of `prefix` followed by an unsigned decimal number: the line must
// begin with exactly `prefix`; blanks may precede the digits. False without digits.
bool ScanUnsigned(const std::string& line, const std::string& prefix, uint64_t& value);

bool EqualsNoCase(const std::string& a, const std::string& b);

}  // namespace rtsptext
}  // namespace talvik

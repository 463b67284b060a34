// Base64 (RFC 4648, standard alphabet, "=" padding) for HTTP Basic credentials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvik {

// Base64 of `size` bytes. With `lineBreaks`, a CR LF follows every 76 output
// characters except at the very end (the MIME line length).
std::string Base64Encode(const uint8_t* data, size_t size, bool lineBreaks);

// Base64 of "user:password" (the Basic user-pass). The joined text is limited
// to 99 bytes and the encoded form to 100 bytes, which lets up to 72 bytes
// through; longer texts empty `out` and return false. Texts above 57 bytes get
// a CR LF after the 76th character.
bool MakeBasicCredentials(const std::string& userName, const std::string& password,
                          std::string& out);

}  // namespace talvik

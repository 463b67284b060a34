// MD5 message digest (RFC 1321), used for HTTP Digest authentication of the
// RTSP client. Carried here rather than taken from a crypto library because it
// is tiny and only ever hashes short texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvik {

// MD5 of the bytes of `text` as 32 lower-case hexadecimal digits.
std::string Md5HexDigest(const std::string& text);

// Raw 16-byte digest of `size` bytes at `data`.
void Md5Digest(const uint8_t* data, size_t size, uint8_t digest[16]);

}  // namespace talvik

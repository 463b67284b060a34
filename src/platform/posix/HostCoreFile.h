// The host core library's version as its file name carries it on this platform.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

// Parses "libvantrel.so.6.3.0.0" (any directory prefix) into major, minor,
// build and revision; false, numbers untouched, if malformed.
bool ParseHostCoreFileName(const std::string& path, uint16_t numbers[4]);

}  // namespace talvik

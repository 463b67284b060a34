// What the module learns about the process that loaded it: where the host's
// executable lives and which version of the host's core library it runs.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

// Directory of the host executable with a trailing separator, where
// per-installation files live; empty when it cannot be read.
std::string GetHostDirectory();

// Version of the host core library (major, minor, build, revision) as this
// platform records it; false when the library is not found or its version
// cannot be read.
bool FindHostCoreVersion(uint16_t numbers[4]);

}  // namespace talvik

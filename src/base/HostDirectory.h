// Directory of the host executable, where per-installation files live.
#pragma once

#include <string>

namespace talvik {

// Directory of /proc/self/exe with a trailing "/"; empty when it cannot be read.
std::string GetHostDirectory();

}  // namespace talvik

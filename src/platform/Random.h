// Random bytes from the operating system.
#pragma once

#include <cstddef>

namespace talvik {

// Fills size bytes without blocking; false when the system has none to give.
bool SystemRandom(void* out, size_t size);

}  // namespace talvik

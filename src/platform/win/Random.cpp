// rand_s is declared only with this defined; it comes from msvcrt, which the
// module imports anyway (RtlGenRandom behind it, no further DLL).
#define _CRT_RAND_S
#include <stdlib.h>

#include <cstring>

#include "platform/Random.h"

namespace talvik {

bool SystemRandom(void* out, size_t size) {
    unsigned char* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) return false;
        const size_t n = size < sizeof value ? size : sizeof value;
        std::memcpy(bytes, &value, n);
        bytes += n;
        size -= n;
    }
    return true;
}

}  // namespace talvik

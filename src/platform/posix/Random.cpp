#include <sys/random.h>

#include "platform/Random.h"

namespace talvik {

bool SystemRandom(void* out, size_t size) {
    return getrandom(out, size, GRND_NONBLOCK) == ssize_t(size);
}

}  // namespace talvik

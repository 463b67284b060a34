#include "platform/Storage.h"

#include <cstdlib>

namespace talvik {

// Large pages need a privilege hosts do not hold, and a 32-bit process has
// no address space to spare for rounding up.
size_t StorageSize(size_t wanted) {
    return wanted;
}

uint8_t* AllocateStorage(size_t size) {
    return static_cast<uint8_t*>(std::malloc(size));
}

void FreeStorage(uint8_t* storage) {
    std::free(storage);
}

}  // namespace talvik

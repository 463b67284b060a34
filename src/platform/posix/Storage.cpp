#include "platform/Storage.h"

#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>

namespace talvik {

namespace {
constexpr size_t kHugePage = 2u << 20;
}  // namespace

size_t StorageSize(size_t wanted) {
#ifdef __linux__
    if (wanted >= kHugePage / 2 && wanted <= SIZE_MAX - kHugePage)
        return (wanted + kHugePage - 1) / kHugePage * kHugePage;
#endif
    return wanted;
}

uint8_t* AllocateStorage(size_t size) {
    if (size < kHugePage) return static_cast<uint8_t*>(malloc(size));
    void* storage = nullptr;
    if (posix_memalign(&storage, kHugePage, size) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the storage works as well.
    madvise(storage, size / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
    return static_cast<uint8_t*>(storage);
}

void FreeStorage(uint8_t* storage) {
    free(storage);
}

}  // namespace talvik

// Storage for large receive buffers, which the kernel writes and the reader
// walks once per picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace talvik {

// What to ask AllocateStorage for when `wanted` bytes are needed: on Linux a
// storage of 1 MiB or more is rounded up to whole huge pages (2 MiB), which
// it then gets: the kernel's copy into it and the reads of it walk one page
// table entry instead of hundreds, and under virtualisation each miss costs a
// walk of two tables. Elsewhere `wanted` itself.
size_t StorageSize(size_t wanted);
// Uninitialised bytes; null when out of memory.
uint8_t* AllocateStorage(size_t size);
void FreeStorage(uint8_t* storage);

struct StorageFree {
    void operator()(uint8_t* storage) const { FreeStorage(storage); }
};
using StoragePtr = std::unique_ptr<uint8_t[], StorageFree>;

}  // namespace talvik

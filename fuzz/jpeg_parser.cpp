// Feeds the JPEG assembler with the input cut into chunks at positions taken
// from the input's first bytes.
#include <cstddef>
#include <cstdint>

#include "http/JpegAssembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t delivered = 0;
    talvik::CJpegAssembler assembler(
        [&](const uint8_t* d, size_t n, uint32_t w, uint32_t h) {
            if (n < 4 || d[0] != 0xFF || d[1] != 0xD8 || d[n - 2] != 0xFF || d[n - 1] != 0xD9 ||
                w == 0 || h == 0 || n > talvik::CJpegAssembler::kMaxImageBytes) {
                __builtin_trap();
            }
            delivered += n;
        },
        [] {});
    const size_t step = 1 + data[0] % 64;
    for (size_t pos = 1; pos < size; pos += step) {
        const size_t n = pos + step <= size ? step : size - pos;
        assembler.Feed(data + pos, n);
    }
    return 0;
}

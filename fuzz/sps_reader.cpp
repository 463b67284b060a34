// Access units of any shape into the SPS reader: no read outside the input, no
// hang, and a success always carries a picture.
#include <cstdint>
#include <cstdlib>

#include "media/SpsReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t width = 0;
    uint32_t height = 0;
    if (talvik::DecodeSpsSize(data, size, width, height)) {
        if (width == 0 || height == 0) std::abort();
    } else if (width != 0 || height != 0) {
        std::abort();
    }
    // The bare bit reader over the same bytes: Exp-Golomb codes end at the
    // input's end at the latest.
    talvik::CBitReader reader(data, size);
    for (int i = 0; i < 64 && !reader.Failed(); ++i)
        reader.ReadSe();
    return 0;
}

// Access units of any shape into the SPS reader: no read outside the input, no
// hang, and a success always carries a picture.
#include "FuzzTarget.h"
#include "media/SpsReader.h"

namespace {

using namespace talvik_fuzz;

std::string SpsReader(const Bytes& in) {
    uint32_t width = 1, height = 1;
    const bool ok = DecodeSpsSize(in.data(), in.size(), width, height);
    FUZZ_CHECK(ok == (width != 0) && ok == (height != 0));
    // The bare bit reader over the same bytes: Exp-Golomb codes end at the
    // input's end at the latest.
    CBitReader reader(in.data(), in.size());
    for (int i = 0; i < 64 && !reader.Failed(); ++i)
        reader.ReadSe();
    return (ok ? "" : "no size ") + std::to_string(width) + "x" + std::to_string(height) + "\n";
}

}  // namespace

FUZZ_TARGET(SpsReader);

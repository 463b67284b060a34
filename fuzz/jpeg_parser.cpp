// The JPEG assembler fed the input after byte 0: every picture it delivers is
// whole, and it delivers the same pictures however the stream is cut.
#include "FuzzTarget.h"
#include "http/JpegAssembler.h"

namespace {

using namespace talvik_fuzz;

// The pictures of the input fed in pieces ending at `cuts`.
std::string Assemble(const Bytes& in, const std::vector<size_t>& cuts) {
    std::ostringstream out;
    CJpegAssembler assembler(
        [&](const uint8_t* d, size_t n, uint32_t w, uint32_t h) {
            FUZZ_CHECK(n >= 4 && n <= CJpegAssembler::kMaxImageBytes && d[0] == 0xFF &&
                       d[1] == 0xD8 && d[n - 2] == 0xFF && d[n - 1] == 0xD9 && w != 0 && h != 0);
            out << "image " << Hex(d, n) << " " << w << "x" << h << "\n";
        },
        [&] { out << "overflow\n"; });
    size_t from = 1;
    for (size_t cut : cuts) {
        assembler.Feed(in.data() + from, cut - from);
        from = cut;
    }
    assembler.Feed(in.data() + from, in.size() - from);
    return out.str();
}

std::string JpegParser(const Bytes& in) {
    if (in.empty()) return "";
    const std::string whole = Assemble(in, {});
    std::vector<size_t> bytes;
    for (size_t i = 2; i < in.size(); ++i)
        bytes.push_back(i);
    FUZZ_CHECK(Assemble(in, bytes) == whole);
    for (size_t cut = 1; cut <= in.size(); ++cut)
        FUZZ_CHECK(Assemble(in, {cut}) == whole);
    return whole;
}

}  // namespace

FUZZ_TARGET(JpegParser);

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MediaRig.h"
#include "http/JpegAssembler.h"

using talvik::CJpegAssembler;
using talvik_http_test::Bytes;
using talvik_http_test::Concat;
using talvik_http_test::MakeJpeg;
using talvik_http_test::Text;

namespace {

struct Image {
    Bytes data;
    uint32_t width, height;
    bool operator==(const Image& o) const {
        return data == o.data && width == o.width && height == o.height;
    }
};

void PrintTo(const Image& i, std::ostream* os) {
    *os << i.data.size() << " bytes " << i.width << "x" << i.height;
}

struct Harness {
    std::vector<Image> images;
    int overflows = 0;
    CJpegAssembler assembler{[this](const uint8_t* d, size_t n, uint32_t w, uint32_t h) {
                                 images.push_back({Bytes(d, d + n), w, h});
                             },
                             [this] { ++overflows; }};
    void Feed(const Bytes& b) { assembler.Feed(b.data(), b.size()); }
    void FeedSplit(const Bytes& b, std::initializer_list<size_t> cuts) {
        size_t from = 0;
        for (size_t cut : cuts) {
            assembler.Feed(b.data() + from, cut - from);
            from = cut;
        }
        assembler.Feed(b.data() + from, b.size() - from);
    }
};

// How pictures split across chunks, markers inside them and their sizes are
// read is replayed from the jpeg_parser seeds (CorpusReplayTest).

TEST(JpegAssembler, TextOutsideImagesIsNeverBuffered) {
    Harness h;
    const Bytes text(100000, 'x');
    for (int i = 0; i < 200; ++i)
        h.Feed(text);  // 20 MB without an image
    EXPECT_EQ(h.overflows, 0);
    EXPECT_EQ(h.assembler.Buffered(), 0u);
}

// The cap holds alike for an image gathered over chunks (two, or receive
// pieces of 64 KiB whose scan resumes where it stopped) and for one handed
// over straight from the chunk it lies in, and an overflow costs only its own
// image: the picture after it, even in the same chunk, still arrives.
struct CapCase {
    const char* name;
    size_t extra;  // bytes beyond the cap
    size_t chunk;  // 0: one chunk; 1: two halves; else the chunk size
    size_t images;
    int overflows;
};

class JpegAssemblerCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(JpegAssemblerCap, SameLimitHeldOrNot) {
    const CapCase c = GetParam();
    const size_t overhead = MakeJpeg(8, 8, 0).size();
    const Bytes big = MakeJpeg(8, 8, CJpegAssembler::kMaxImageBytes - overhead + c.extra);
    const Bytes next = MakeJpeg(16, 16, 100, 0xC0, 0x44);
    const Bytes stream = Concat({Text("--b\r\n"), big, Text("\r\n--b\r\n"), next});
    Harness h;
    if (c.chunk == 1) {
        h.FeedSplit(stream, {stream.size() / 2});
    } else if (c.chunk > 1) {
        for (size_t at = 0; at < stream.size(); at += c.chunk)
            h.assembler.Feed(stream.data() + at, std::min(c.chunk, stream.size() - at));
    } else {
        h.Feed(stream);
    }
    ASSERT_EQ(h.images.size(), c.images);
    EXPECT_EQ(h.overflows, c.overflows);
    if (c.images == 2) {
        EXPECT_EQ(h.images[0], (Image{big, 8, 8}));
    }
    EXPECT_EQ(h.images.back(), (Image{next, 16, 16}));
    EXPECT_FALSE(h.assembler.InFrame());
    EXPECT_EQ(h.assembler.Buffered(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegAssemblerCap,
                         ::testing::Values(CapCase{"ExactInOneChunk", 0, 0, 2, 0},
                                           CapCase{"OverInOneChunk", 1, 0, 1, 1},
                                           CapCase{"ExactOverTwoChunks", 0, 1, 2, 0},
                                           CapCase{"OverOverTwoChunks", 1, 1, 1, 1},
                                           CapCase{"ExactOverReceivePieces", 0, 65536, 2, 0},
                                           CapCase{"OverOverReceivePieces", 1, 65536, 1, 1}),
                         [](const ::testing::TestParamInfo<CapCase>& info) {
                             return info.param.name;
                         });

}  // namespace

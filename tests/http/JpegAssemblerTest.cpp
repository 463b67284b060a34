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

// How pictures split across chunks, markers inside them and their sizes are
// read is replayed from the jpeg_parser seeds (CorpusReplayTest).

TEST(JpegAssembler, TextOutsideImagesIsNeverBuffered) {
    int overflows = 0;
    CJpegAssembler assembler([](const uint8_t*, size_t, uint32_t, uint32_t) {},
                             [&] { ++overflows; });
    const Bytes text(100000, 'x');
    for (int i = 0; i < 200; ++i)
        assembler.Feed(text.data(), text.size());  // 20 MB without an image
    EXPECT_EQ(overflows, 0);
    EXPECT_EQ(assembler.Buffered(), 0u);
}

// The cap holds alike for an image gathered over chunks (two, or receive
// pieces of 64 KiB whose scan resumes where it stopped) and for one handed
// over straight from the chunk it lies in, and an overflow costs only its own
// image: the picture after it, even in the same chunk, still arrives.
TEST(JpegAssembler, SameCapHowEverTheImageArrives) {
    const size_t overhead = MakeJpeg(8, 8, 0).size();
    const Bytes next = MakeJpeg(16, 16, 100, 0xC0, 0x44);
    for (const size_t extra : {0, 1}) {
        const Bytes big = MakeJpeg(8, 8, CJpegAssembler::kMaxImageBytes - overhead + extra);
        const Bytes stream = Concat({Text("--b\r\n"), big, Text("\r\n--b\r\n"), next});
        for (const size_t chunk : {stream.size(), stream.size() / 2 + 1, size_t(65536)}) {
            std::vector<std::pair<Bytes, std::string>> images;
            int overflows = 0;
            CJpegAssembler assembler(
                [&](const uint8_t* d, size_t n, uint32_t w, uint32_t h) {
                    images.push_back(
                        {Bytes(d, d + n), std::to_string(w) + "x" + std::to_string(h)});
                },
                [&] { ++overflows; });
            for (size_t at = 0; at < stream.size(); at += chunk)
                assembler.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
            std::vector<std::pair<Bytes, std::string>> expected = {{next, "16x16"}};
            if (extra == 0) expected.insert(expected.begin(), {big, "8x8"});
            EXPECT_TRUE(images == expected) << extra << " " << chunk << ": " << images.size();
            EXPECT_EQ(overflows, int(extra)) << chunk;
            EXPECT_FALSE(assembler.InFrame());
            EXPECT_EQ(assembler.Buffered(), 0u);
        }
    }
}

}  // namespace

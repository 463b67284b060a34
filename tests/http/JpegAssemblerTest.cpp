#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "JpegBytes.h"
#include "http/JpegAssembler.h"
#include "support/TestFiles.h"

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

const std::string kPartHeader =
    "\r\n--fbdr\r\nContent-Type: image/jpeg\r\nContent-Length: 1234\r\n\r\n";

// Every split point of a multipart body with two pictures: marker bytes
// split between chunks (FF | D8, FF | D9, inside the frame header) must not
// lose or change a picture, and no boundary text may reach a picture.
TEST(JpegAssembler, EverySplitOfTwoPartsGivesTheSameTwoImages) {
    const Bytes a = MakeJpeg(640, 480, 40, 0xC0, 0x22);
    const Bytes b = MakeJpeg(320, 240, 30, 0xC0, 0x33);
    const Bytes stream = Concat({Text(kPartHeader), a, Text(kPartHeader), b, Text(kPartHeader)});
    const std::vector<Image> expected{{a, 640, 480}, {b, 320, 240}};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        for (size_t cut2 = cut; cut2 <= stream.size(); cut2 += 7) {
            Harness h;
            h.FeedSplit(stream, {cut, cut2});
            ASSERT_EQ(h.images, expected) << "cuts at " << cut << ", " << cut2;
        }
    }
}

TEST(JpegAssembler, TwoImagesInOneChunkAndGarbageBetween) {
    const Bytes a = MakeJpeg(16, 8, 3);
    const Bytes b = MakeJpeg(16, 8, 4);
    Harness h;
    h.Feed(Concat({a, Text("garbage\xFF\x01"), b}));
    ASSERT_EQ(h.images.size(), 2u);
    EXPECT_EQ(h.images[0].data, a);
    EXPECT_EQ(h.images[1].data, b);
}

TEST(JpegAssembler, EndWithoutStartAndStartWithoutEnd) {
    Harness h;
    h.Feed({0x00, 0xFF, 0xD9, 0x01});
    EXPECT_TRUE(h.images.empty());
    const Bytes cut = MakeJpeg(16, 16, 10);
    h.Feed(Bytes(cut.begin(), cut.end() - 2));  // image restarts before its end
    const Bytes whole = MakeJpeg(32, 32, 10);
    h.Feed(whole);
    ASSERT_EQ(h.images.size(), 1u);
    EXPECT_EQ(h.images[0].data, whole);
}

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

// The picture size comes from the image's first baseline frame header that
// the segment walk reaches, after fill bytes and other segments; one too short
// to hold the size gives none, and the stream's earlier size is used.
struct SizeCase {
    const char* name;
    Bytes beforeHeader;  // between SOI and the header
    bool headerWhole;
    uint32_t width, height;
};

class JpegAssemblerSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(JpegAssemblerSize, FirstBaselineHeaderOfTheWalk) {
    const SizeCase c = GetParam();
    Bytes image = {0xFF, 0xD8};
    image.insert(image.end(), c.beforeHeader.begin(), c.beforeHeader.end());
    const Bytes header =
        c.headerWhole  // 1280x720
            ? Bytes{0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x02, 0xD0, 0x05, 0x00, 0x01, 0x01, 0x11, 0x00}
            : Bytes{0xFF, 0xC0, 0x00, 0x05, 0x08, 0x02, 0xD0};
    image.insert(image.end(), header.begin(), header.end());
    image.push_back(0xFF);
    image.push_back(0xD9);
    for (size_t cut : {size_t(0), size_t(3), image.size() - 1}) {
        Harness h;
        h.Feed(MakeJpeg(640, 480, 4));  // the size used when the image has none
        h.FeedSplit(image, {cut});
        ASSERT_EQ(h.images.size(), 2u) << "cut at " << cut;
        EXPECT_EQ(h.images[1], (Image{image, c.width, c.height})) << "cut at " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JpegAssemblerSize,
    ::testing::Values(SizeCase{"Direct", {}, true, 1280, 720},
                      SizeCase{"AfterFillBytes", {0xFF, 0xFF, 0xFF}, true, 1280, 720},
                      SizeCase{"AfterOtherSegments",
                               {0xFF, 0xE0, 0x00, 0x04, 0xC0, 0xC0, 0xFF, 0xC4, 0x00, 0x02},
                               true,
                               1280,
                               720},
                      SizeCase{"HeaderTooShortForTheSize", {}, false, 640, 480}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

// Only EOI in the entropy-coded data ends a picture: stuffed bytes, restart
// markers, fill bytes and the segments between the scans of a progressive
// picture (even a comment holding FF D9) pass. A byte where a marker is due,
// or a length below 2, drops the picture; the next one still arrives.
struct WalkCase {
    const char* name;
    Bytes image;
    bool delivered;
};

class JpegAssemblerWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(JpegAssemblerWalk, EndsOnlyAtTheEndOfImage) {
    const WalkCase& c = GetParam();
    const Bytes next = MakeJpeg(16, 16, 4, 0xC0, 0x55);
    const Bytes stream = Concat({c.image, Text(kPartHeader), next});
    std::vector<Image> expected;
    if (c.delivered) expected.push_back({c.image, 24, 8});
    expected.push_back({next, 16, 16});
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Harness h;
        h.FeedSplit(stream, {cut});
        ASSERT_EQ(h.images, expected) << "cut at " << cut;
    }
}

const Bytes kHead24x8 = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00,
                         0x08, 0x00, 0x18, 0x01, 0x01, 0x11, 0x00};
const Bytes kScan = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
const Bytes kEnd = {0xFF, 0xD9};

INSTANTIATE_TEST_SUITE_P(
    Cases, JpegAssemblerWalk,
    ::testing::Values(
        WalkCase{"StuffedRestartAndFillBytes",
                 Concat({kHead24x8, kScan, {0x11, 0xFF, 0x00, 0x22, 0xFF, 0xD3, 0x33, 0xFF}, kEnd}),
                 true},
        WalkCase{"SegmentsBetweenScans",
                 Concat({kHead24x8,
                         kScan,
                         {0x11, 0x22},
                         {0xFF, 0xC4, 0x00, 0x02},
                         {0xFF, 0xFE, 0x00, 0x04, 0xFF, 0xD9},
                         kScan,
                         {0x33},
                         kEnd}),
                 true},
        WalkCase{"NoMarkerWhereASegmentIsDue", Concat({kHead24x8, {0x42}, kScan, kEnd}), false},
        WalkCase{"LengthBelowTwo", Concat({kHead24x8, {0xFF, 0xE1, 0x00, 0x01}, kScan, kEnd}),
                 false}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return info.param.name; });

// Camera pictures whose EXIF segment (data/, built by make_exif_jpegs.py)
// holds marker bytes: a thumbnail with its own SOI, start of frame and EOI,
// or FF C0 inside a value. Each reaches the sink whole with the picture's own
// size, at every split of a multipart stream holding it twice.
struct FileCase {
    const char* name;
    const char* file;
};

class JpegAssemblerFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(JpegAssemblerFile, WholePictureWithItsOwnSize) {
    const std::string text = talvik::test::ReadFile(std::string(TALVIK_SOURCE_DIR) +
                                                    "/tests/http/data/" + GetParam().file);
    ASSERT_FALSE(text.empty());
    const Bytes picture = Text(text);
    const Bytes stream = Concat({Text(kPartHeader), picture, Text(kPartHeader), picture});
    const std::vector<Image> expected{{picture, 64, 48}, {picture, 64, 48}};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Harness h;
        h.FeedSplit(stream, {cut});
        ASSERT_EQ(h.images, expected) << "cut at " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JpegAssemblerFile,
    ::testing::Values(FileCase{"ExifThumbnailDoesNotEndThePicture", "exif_thumbnail.jpg"},
                      FileCase{"FfC0InsideAnAppSegmentIsNotTheFrameHeader", "exif_ffc0.jpg"}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return info.param.name; });

}  // namespace

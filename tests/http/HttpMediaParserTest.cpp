// The JPEG assembler and the HTTP media parsers on a fake host.
#include <gtest/gtest.h>

#include <algorithm>

#include "MediaRig.h"
#include "http/JpegAssembler.h"
#include "http/JpegMarkerScan.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using namespace talvik_http_test;

// A 1080p key frame (SPS, PPS, slice) from x264.
const std::string kSeed = talvik::test::ReadFile(
    std::string(TALVIK_SOURCE_DIR) + "/fuzz/corpus/http_media_parser/h264_keyframe_1080");
const Bytes kSps1080(kSeed.begin() + (kSeed.empty() ? 0 : 1), kSeed.end());
const Bytes kAud = {0x00, 0x00, 0x01, 0x09, 0x30};

class ThrowingAllocator : public IHostFrameAllocator {
public:
    IHostFrame* CreateFrame(uint32_t, uint32_t, const char*) override { throw 42; }
    void ReleaseFrame(IHostFrame*) override {}
};

// A host that fails, on either parser: the picture is dropped, a frame that
// was made is given back, the module's own faults are logged, and the next
// picture goes through. A frame buffer shorter than asked is never overrun.
// A picture one byte over the assembler's cap is dropped alike.
// Rows of tests/http/data/host_faults.txt: the fault, the frames made (and
// given back), the log line.
TEST(HttpMediaParser, HostFaultDropsOnlyThatPicture) {
    const Bytes big =
        MakeJpeg(1920, 1080, CJpegAssembler::kMaxImageBytes + 1 - talvik_http_test::kJpegOverhead);
    ThrowingAllocator thrower;
    for (std::vector<std::string> c : talvik::test::DataRows("http/data/host_faults.txt")) {
        c.resize(3);
        for (const bool jpeg : {true, false}) {
            if (c[0] == "oversized" && !jpeg) continue;
            Rig rig;
            rig.driver.allocator = c[0] == "no-allocator" ? nullptr
                                   : c[0] == "throws"     ? &thrower
                                                          : rig.driver.allocator;
            rig.host.refuseCreate = c[0] == "create-refused";
            rig.host.acceptFrames = c[0] != "frame-refused";
            rig.host.bufferShortBy = c[0] == "short-buffer" ? 1 : 0;
            CHttpMediaParser& parser = jpeg ? static_cast<CHttpMediaParser&>(rig.jpeg) : rig.h264;
            Bytes chunk = c[0] == "oversized" ? big : jpeg ? MakeJpeg(640, 480, 5) : kSps1080;
            parser.ParseData(chunk);
            EXPECT_EQ(rig.host.FrameCount(), 0u) << c[0] << jpeg;
            EXPECT_TRUE(c[0] != "no-allocator" || jpeg || chunk == kSps1080);  // nothing appended
            EXPECT_EQ(rig.host.Created(), std::stoi(c[1])) << c[0] << jpeg;
            EXPECT_EQ(rig.host.Released(), std::stoi(c[1])) << c[0] << jpeg;
            std::string log;
            for (const talvik_test::LogLine& line : rig.driver.log.Lines())
                log += std::to_string(line.level) + " " + line.text + "\n";
            EXPECT_EQ(log, c[2].empty() ? "" : "1 " + c[2] + "\n") << c[0] << jpeg;
            rig.driver.allocator = &rig.host;
            rig.host.refuseCreate = false;
            rig.host.acceptFrames = true;
            rig.host.bufferShortBy = 0;
            chunk = jpeg ? MakeJpeg(640, 480, 5) : kSps1080;
            parser.ParseData(chunk);
            EXPECT_EQ(rig.host.FrameCount(), 1u) << c[0] << jpeg;
        }
    }
}

// The frame's fields and bytes are replayed from the http_media_parser seeds
// (CorpusReplayTest, garbage too); read-only bytes give the same frame and stay as
// they were.
TEST(H264MediaParser, ReadOnlyBytesAreNotChanged) {
    Rig rig;
    Bytes empty;  // gives nothing and gets nothing appended
    rig.h264.ParseData(empty);
    EXPECT_TRUE(empty.empty());
    const Bytes original = kSps1080;
    rig.h264.ParseBytes(original.data(), original.size());
    ASSERT_EQ(rig.host.FrameCount(), 1u);
    EXPECT_EQ(rig.host.Frames()[0].bytes, Concat({kSps1080, kAud}));
    EXPECT_EQ(original, kSps1080);
}

// How pictures split across chunks, markers inside them and their sizes are
// read is replayed from the jpeg_* seeds of the HTTP media parser corpus
// (CorpusReplayTest).

// The cap holds alike for an image gathered over chunks (two, or receive
// pieces of 64 KiB whose scan resumes where it stopped) and for one handed
// over straight from the chunk it lies in, and an overflow costs only its own
// image: the picture after it, even in the same chunk, still arrives. Text
// outside images (more than the cap) is never buffered.
// Entropy-coded data with one pattern in it, at every offset around the
// searches' 16- and 64-byte steps and with every length of tail: each search
// stops at the first FF whose follower is not 00, 01 or D0-D7, and at an FF
// that ends the data.
TEST(JpegMarkerScan, EverySearchStopsWhereAMarkerMayStart) {
    struct Row {
        Bytes pattern;
        int hit;  // index in pattern, -1: none
    };
    const Row rows[] = {
        {{0xFF, 0x00}, -1},
        {{0xFF, 0x01}, -1},
        {{0xFF, 0xD0}, -1},
        {{0xFF, 0xD7}, -1},
        {{0xFF, 0x00, 0xFF, 0xD7, 0xFF, 0x01}, -1},
        {{0xFF, 0xD9}, 0},
        {{0xFF, 0xD8}, 0},
        {{0xFF, 0xCF}, 0},
        {{0xFF, 0x02}, 0},
        {{0xFF, 0xFF, 0x00}, 0},  // a fill byte: the marker's first FF
        {{0xFF, 0x00, 0xFF, 0xD9}, 2},
        {{0xFE, 0xFF, 0xD7, 0x00, 0xFF, 0xC4}, 4},
    };
    const auto scans = EntropyMarkerScans();
    ASSERT_FALSE(scans.empty());
    for (const Row& row : rows) {
        for (size_t at = 0; at < 140; ++at) {
            for (size_t tail : {0, 1, 2, 63, 64, 65}) {
                Bytes data(at, 0x5A);
                data.insert(data.end(), row.pattern.begin(), row.pattern.end());
                data.insert(data.end(), tail, 0xA5);
                const size_t want = row.hit < 0 ? data.size() : at + static_cast<size_t>(row.hit);
                for (size_t k = 0; k < scans.size(); ++k) {
                    const uint8_t* found = scans[k](data.data(), data.data() + data.size());
                    ASSERT_EQ(static_cast<size_t>(found - data.data()), want)
                        << "search " << k << ", pattern " << row.pattern.size() << " bytes at "
                        << at << ", tail " << tail;
                }
                // The last byte an FF: it may begin a marker.
                data.push_back(0xFF);
                const size_t last = row.hit < 0 ? data.size() - 1 : want;
                for (size_t k = 0; k < scans.size(); ++k) {
                    ASSERT_EQ(static_cast<size_t>(scans[k](data.data(), data.data() + data.size()) -
                                                  data.data()),
                              last)
                        << "search " << k << ", FF at the end after " << data.size() - 1;
                }
            }
        }
    }
    ASSERT_EQ(FindEntropyMarker(nullptr, nullptr), nullptr);
}

TEST(JpegAssembler, SameCapHowEverTheImageArrives) {
    const size_t overhead = MakeJpeg(8, 8, 0).size();
    const Bytes next = MakeJpeg(16, 16, 100, 0xC0, 0x44);
    for (const size_t extra : {0, 1}) {
        const Bytes big = MakeJpeg(8, 8, CJpegAssembler::kMaxImageBytes - overhead + extra);
        const Bytes stream =
            Concat({Text(std::string(11u << 20, 'x') + "--b\r\n"), big, Text("\r\n--b\r\n"), next});
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
}  // namespace talvik

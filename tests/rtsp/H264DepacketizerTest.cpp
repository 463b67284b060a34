#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Loopback.h"
#include "rtsp/H264Depacketizer.h"

using talvik::CH264Depacketizer;
using Bytes = std::vector<uint8_t>;
using Result = CH264Depacketizer::Result;
using talvik_test::Concat;

namespace {

// ffmpeg -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 1 -pix_fmt yuv420p -c:v libx264
//   -f h264 hd.h264   (High, 1920x1088 with bottom crop)
const Bytes kSps = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02,
                    0x27, 0xe5, 0xc0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                    0x00, 0x00, 0x03, 0x00, 0xc8, 0x3c, 0x60, 0xc6, 0x58};
const Bytes kPps = {0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};
const Bytes kStart = {0x00, 0x00, 0x01};
const Bytes kAud = {0x00, 0x00, 0x01, 0x09, 0x10};

// An IDR slice NAL (first_mb_in_slice 0 when firstSlice) of `size` bytes.
Bytes Idr(size_t size, bool firstSlice = true, uint8_t fill = 0x5A) {
    Bytes b(size, fill);
    b[0] = 0x65;
    b[1] = firstSlice ? 0x88 : 0x21;
    return b;
}
Bytes Slice(size_t size, uint8_t fill = 0x3C) {
    Bytes b(size, fill);
    b[0] = 0x41;
    b[1] = 0x9A;
    return b;
}

struct Packet {
    Bytes payload;
    bool marker;
};

// FU-A fragments of one NAL unit, `chunk` bytes of NAL body each.
std::vector<Packet> FuA(const Bytes& nal, size_t chunk, bool markerOnLast) {
    std::vector<Packet> out;
    const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
    for (size_t pos = 1; pos < nal.size(); pos += chunk) {
        const size_t n = std::min(chunk, nal.size() - pos);
        uint8_t header = nal[0] & 0x1F;
        if (pos == 1) header |= 0x80;
        if (pos + n == nal.size()) header |= 0x40;
        Bytes p = {indicator, header};
        p.insert(p.end(), nal.begin() + static_cast<long>(pos),
                 nal.begin() + static_cast<long>(pos + n));
        out.push_back({p, markerOnLast && pos + n == nal.size()});
    }
    return out;
}

Bytes StapA(std::initializer_list<Bytes> units) {
    Bytes out = {0x18};
    for (const Bytes& u : units) {
        out.push_back(static_cast<uint8_t>(u.size() >> 8));
        out.push_back(static_cast<uint8_t>(u.size()));
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

struct Delivered {
    Bytes data;
    bool key;
    uint32_t width, height;
};

struct Harness {
    std::vector<std::pair<uint16_t, uint16_t>> sequenceErrors;
    int overflows = 0;
    std::vector<Delivered> frames;
    CH264Depacketizer depacketizer{
        {[this](uint16_t prev, uint16_t got) { sequenceErrors.emplace_back(prev, got); },
         [this] { ++overflows; }}};
    uint16_t seq = 1000;
    uint8_t pt = 96;

    void Send(const Bytes& payload, bool marker) { SendSeq(seq++, payload, marker); }
    void SendSeq(uint16_t s, const Bytes& payload, bool marker) {
        if (depacketizer.Process(s, marker, pt, payload.data(), payload.size()) ==
            Result::kFrameReady) {
            frames.push_back({depacketizer.Frame(), depacketizer.FrameIsKey(), depacketizer.Width(),
                              depacketizer.Height()});
        }
    }
    void Send(const std::vector<Packet>& packets) {
        for (const Packet& p : packets)
            Send(p.payload, p.marker);
    }
};

TEST(H264Depacketizer, FuAKeyFrameAfterSingleSpsPpsThenPFrame) {
    Harness h;
    const Bytes idr = Idr(3000);
    h.Send(kSps, false);
    h.Send(kPps, false);
    h.Send(FuA(idr, 1000, true));
    const Bytes p = Slice(500);
    h.Send(p, true);
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_EQ(h.frames[0].data, Concat({kStart, kSps, kStart, kPps, kStart, idr, kAud}));
    EXPECT_TRUE(h.frames[0].key);
    EXPECT_EQ(h.frames[0].width, 1920u);
    EXPECT_EQ(h.frames[0].height, 1080u);
    EXPECT_EQ(h.frames[1].data, Concat({kStart, p, kAud}));
    EXPECT_FALSE(h.frames[1].key);
    EXPECT_EQ(h.frames[1].width, 1920u) << "size stays from the key frame";
}

// Several single-NAL slices of one IDR picture: the parameter sets go in
// once, before the first slice, or decoders split the picture.
TEST(H264Depacketizer, MultiSliceIdrGetsParameterSetsOnce) {
    Harness h;
    const Bytes s1 = Idr(300, true, 0x11), s2 = Idr(300, false, 0x22);
    h.Send(kSps, false);
    h.Send(kPps, false);
    h.Send(s1, false);
    h.Send(s2, true);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0].data, Concat({kStart, kSps, kStart, kPps, kStart, s1, kStart, s2, kAud}));
}

TEST(H264Depacketizer, LostPacketDropsFrameUntilNextKeyFrame) {
    Harness h;
    h.Send(kSps, false);
    h.Send(kPps, false);
    h.Send(FuA(Idr(3000), 1000, true));
    ASSERT_EQ(h.frames.size(), 1u);
    const auto p = FuA(Slice(3000), 1000, true);
    h.Send(p[0].payload, false);
    ++h.seq;  // p[1] lost
    h.Send(p[2].payload, true);
    h.Send(Slice(100), true);  // still waiting for a key frame
    EXPECT_EQ(h.frames.size(), 1u);
    ASSERT_EQ(h.sequenceErrors.size(), 1u);
    EXPECT_EQ(h.sequenceErrors[0], std::make_pair(uint16_t(h.seq - 4), uint16_t(h.seq - 2)));
    h.Send(kSps, false);
    h.Send(kPps, false);
    h.Send(Idr(500), true);
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_TRUE(h.frames[1].key);
}

TEST(H264Depacketizer, SequenceWrapPassesAndDuplicatesFail) {
    Harness h;
    h.SendSeq(65534, kSps, false);
    h.SendSeq(65535, kPps, false);
    h.SendSeq(0, Idr(100), true);
    EXPECT_TRUE(h.sequenceErrors.empty());
    ASSERT_EQ(h.frames.size(), 1u);
    h.SendSeq(0, Slice(100), true);  // duplicate
    ASSERT_EQ(h.sequenceErrors.size(), 1u);
    EXPECT_EQ(h.frames.size(), 1u);
}

TEST(H264Depacketizer, StapA) {
    Harness h;
    const Bytes idr = Idr(200);
    h.Send(StapA({kSps, kPps}), false);
    h.Send(idr, true);
    ASSERT_EQ(h.frames.size(), 1u);
    // Units of a STAP-A go in unchanged; the stored sets stay empty, so
    // nothing more is inserted before the IDR slice.
    EXPECT_EQ(h.frames[0].data, Concat({kStart, kSps, kStart, kPps, kStart, idr, kAud}));
    EXPECT_TRUE(h.frames[0].key);

    Bytes bad = StapA({kSps, kPps});
    bad[1] = 0x7F;  // first unit claims more bytes than the packet holds
    h.Send(bad, false);
    h.Send(Slice(50), true);
    EXPECT_EQ(h.frames.size(), 1u) << "resynchronised: waits for a key frame";
    EXPECT_TRUE(h.depacketizer.NeedKeyFrame());
}

TEST(H264Depacketizer, UnsupportedAndShortPayloadsResync) {
    const std::vector<Bytes> bad = {
        {},        {0x19, 0, 0, 0}, {0x1A, 0, 0, 0}, {0x1B, 0, 0}, {0x1D, 0x85, 0}, {0x00, 1},
        {0x1E, 1}, {0x1F, 1},       {0x41},          {0x1C},       {0x18, 0, 1}};
    for (const Bytes& payload : bad) {
        Harness h;
        h.Send(kSps, false);
        h.Send(kPps, false);
        h.Send(Idr(100), true);
        h.Send(payload, false);
        h.Send(Slice(100), true);
        EXPECT_EQ(h.frames.size(), 1u) << "payload of " << payload.size() << " bytes";
        EXPECT_TRUE(h.depacketizer.NeedKeyFrame());
    }
}

TEST(H264Depacketizer, PayloadTypeChangeReloadsSessionParameterSets) {
    Harness h;
    h.depacketizer.SetDefaultResolution(640, 480);
    h.depacketizer.SetParameterSets({{97, kSps, kPps}, {96, {}, kPps}});
    h.pt = 96;  // entry without SPS: nothing loaded
    h.Send(Idr(100), true);
    EXPECT_TRUE(h.frames.empty());
    h.pt = 97;
    const Bytes idr = Idr(100);
    h.Send(idr, true);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0].data, Concat({kStart, kSps, kStart, kPps, kStart, idr, kAud}));
    EXPECT_EQ(h.frames[0].width, 1920u);
}

// A real two-slice x264 stream, sent as single-NAL packets (fragment limit
// above every slice) or as FU-A fragments, must decode without errors.
class TwoSliceStream : public ::testing::TestWithParam<size_t> {};

TEST_P(TwoSliceStream, DecodesWithFfprobe) {
    const size_t fragmentLimit = GetParam();
    const std::string dir = testing::TempDir();
    // One input per case: the cases may run at the same time.
    const std::string in = dir + "/two_slice_in_" + std::to_string(fragmentLimit) + ".h264";
    const std::string out = dir + "/two_slice_out_" + std::to_string(fragmentLimit) + ".h264";
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 10 "
        "-pix_fmt yuv420p -c:v libx264 -x264-params slices=2:keyint=5:bframes=0 "
        "-f h264 " +
        in;
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "ffmpeg with libx264 not available";
    std::ifstream file(in, std::ios::binary);
    const Bytes stream((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

    // Split the Annex B stream into NAL units.
    std::vector<Bytes> nals;
    size_t i = 0, start = std::string::npos;
    while (i + 3 <= stream.size()) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (start != std::string::npos) {
                size_t end = i;
                while (end > start && stream[end - 1] == 0)
                    --end;
                nals.emplace_back(stream.begin() + static_cast<long>(start),
                                  stream.begin() + static_cast<long>(end));
            }
            start = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    if (start != std::string::npos)
        nals.emplace_back(stream.begin() + static_cast<long>(start), stream.end());

    // Marker on the last slice of each picture: the next NAL is not a slice
    // continuing it (first_mb_in_slice != 0 starts with a 0 bit).
    auto isSlice = [](const Bytes& n) { return (n[0] & 0x1F) == 1 || (n[0] & 0x1F) == 5; };
    Harness h;
    Bytes decoded;
    int idrPictures = 0;
    for (size_t k = 0; k < nals.size(); ++k) {
        const Bytes& nal = nals[k];
        const bool last = isSlice(nal) && (k + 1 == nals.size() || !isSlice(nals[k + 1]) ||
                                           (nals[k + 1][1] & 0x80));
        if ((nal[0] & 0x1F) == 5 && (nal[1] & 0x80)) ++idrPictures;
        if (nal.size() > fragmentLimit) {
            h.Send(FuA(nal, fragmentLimit, last));
        } else {
            h.Send(nal, last);
        }
    }
    ASSERT_EQ(idrPictures, 2);
    ASSERT_EQ(h.frames.size(), 10u);
    int keys = 0;
    std::ofstream outFile(out, std::ios::binary);
    for (size_t n = 0; n < h.frames.size(); ++n) {
        const Delivered& f = h.frames[n];
        keys += f.key;
        // Each frame ends with a delimiter that opens the next access unit;
        // a recorder leaves out the last one, which would open nothing.
        const size_t keep = n + 1 == h.frames.size() ? f.data.size() - kAud.size() : f.data.size();
        outFile.write(reinterpret_cast<const char*>(f.data.data()), static_cast<long>(keep));
        // Exactly one SPS per key frame.
        size_t spsCount = 0;
        for (size_t p = 0; p + 3 < f.data.size(); ++p) {
            spsCount += f.data[p] == 0 && f.data[p + 1] == 0 && f.data[p + 2] == 1 &&
                        (f.data[p + 3] & 0x1F) == 7;
        }
        EXPECT_EQ(spsCount, f.key ? 1u : 0u);
    }
    outFile.close();
    EXPECT_EQ(keys, 2);
    const std::string probe =
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=nb_read_frames,width,height -of csv=p=0 " +
        out + " 2>&1";
    FILE* pipe = popen(probe.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buf[256];
    while (fgets(buf, sizeof buf, pipe))
        output += buf;
    pclose(pipe);
    EXPECT_EQ(output, "320,240,10\n") << "decoder errors or split pictures";
}

INSTANTIATE_TEST_SUITE_P(Packetisation, TwoSliceStream, ::testing::Values(60000, 1200));

}  // namespace

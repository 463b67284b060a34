#include <gtest/gtest.h>

#include <vector>

#include "Loopback.h"
#include "rtsp/H264Depacketizer.h"

using talvik::CH264Depacketizer;
using Bytes = std::vector<uint8_t>;
using Result = CH264Depacketizer::Result;
using talvik_test::Concat;

namespace {

// x264 High profile, 1920x1088 coded with a bottom crop to 1080.
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
         [this] { ++overflows; },
         {}}};
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

struct OrphanCase {
    const char* name;
    std::vector<Packet> packets;  // sent with continuous sequence numbers
};

class FuAWithoutStart : public ::testing::TestWithParam<OrphanCase> {};

// The sender skipped a start fragment (sequence numbers continuous): the rest
// of that unit would reach the host without a start code. It is dropped like
// a lost packet, up to the next key frame.
TEST_P(FuAWithoutStart, FuAContinuationWithoutStartIsDropped) {
    Harness h;
    h.Send(kSps, false);
    h.Send(kPps, false);
    h.Send(FuA(Idr(3000), 1000, true));
    ASSERT_EQ(h.frames.size(), 1u);
    h.Send(GetParam().packets);
    EXPECT_EQ(h.frames.size(), 1u);
    EXPECT_TRUE(h.depacketizer.NeedKeyFrame());
    EXPECT_TRUE(h.sequenceErrors.empty());
    const Bytes idr = Idr(500);
    h.Send(idr, true);
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_EQ(h.frames[1].data, Concat({kStart, kSps, kStart, kPps, kStart, idr, kAud}));
}

const std::vector<Packet> kSliceFragments = FuA(Slice(3000), 1000, true);
const std::vector<Packet> kFirstSlice = FuA(Slice(2000, 0x11), 1000, false);

INSTANTIATE_TEST_SUITE_P(
    Cases, FuAWithoutStart,
    ::testing::Values(OrphanCase{"MiddleAndEndOfAUnit", {kSliceFragments[1], kSliceFragments[2]}},
                      OrphanCase{"EndAfterAFinishedUnit",
                                 {kFirstSlice[0], kFirstSlice[1], kSliceFragments[2]}},
                      OrphanCase{"MiddleAfterASingleUnit",
                                 {{Slice(100), false}, kSliceFragments[1], kSliceFragments[2]}}),
    [](const ::testing::TestParamInfo<OrphanCase>& info) { return std::string(info.param.name); });

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

}  // namespace

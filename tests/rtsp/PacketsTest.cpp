// What the corpus replays (rtcp_compound, interleaved) cannot hold: RTCP
// delays, sequence statistics over runs of numbers, and the splits of an
// interleaved stream.
#include <gtest/gtest.h>

#include <sstream>

#include "rtsp/RTCPPackets.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPSequenceStatistics.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPStreamParser.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;

// In units of 1/65536 s: none before an SR, across the millisecond counter's
// wrap, and saturated when ancient.
TEST(RTCPPackets, DelaySinceLastSr) {
    const uint32_t cases[][3] = {
        {5000, 0, 0}, {2000, 1000, 65536}, {5, 0xFFFFFFFBu, 655}, {0, 1, 0xFFFFFFFFu}};
    for (const auto& c : cases)
        EXPECT_EQ(rtcp::DelaySinceLastSr(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    EXPECT_EQ(rtcp::WalkCompound(nullptr, 100, [](const rtcp::PacketView&) { FAIL(); }), 0u);
}

// Highest number, cycles, packets received and extended highest number.
TEST(SequenceStatistics, CountsCyclesJumpsAndReorders) {
    for (const auto& row : test::DataRows("rtsp/data/sequence_statistics.txt")) {
        CRTPSequenceStatistics stats;
        std::istringstream seqs(row[1]);
        for (std::string word; seqs >> word;) {
            const size_t dots = word.find("..");  // from..to/step
            const uint32_t from = uint32_t(std::stoul(word));
            const uint32_t to =
                dots == std::string::npos ? from : std::stoul(word.substr(dots + 2));
            const uint32_t step = to == from ? 1 : std::stoul(word.substr(word.find('/') + 1));
            for (uint32_t seq = from; seq <= to; seq += step)
                stats.Update(uint16_t(seq));
        }
        const std::vector<std::string> counts = {
            std::to_string(stats.MaxSeq()), std::to_string(stats.Cycles()),
            std::to_string(stats.Received()), std::to_string(stats.ExtendedHighest())};
        EXPECT_EQ(counts, std::vector<std::string>(row.begin() + 2, row.end())) << row[0];
    }
}

struct RecordingUser : IRTSPClientUser {
    bool OnRTSPSessionReady(RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(CRTPPacket* packet) override {
        packets.emplace_back(packet->sequenceNumber, packet->payload);
    }
    void OnRTSPClientStopped() override {}
    std::vector<std::pair<uint16_t, Bytes>> packets;
};

// Answers and two frames on channels 0 and 2, with '$' in a payload.
TEST(RTSPStreamParser, EveryTwoAndThreeWaySplitDeliversBothFramesOnce) {
    const std::string seed =
        test::ReadFile(TALVIK_SOURCE_DIR "/fuzz/corpus/interleaved/two_frames_with_text");
    const Bytes stream(seed.begin() + 1, seed.end());
    const std::vector<std::pair<uint16_t, Bytes>> expected = {
        {100, {0x65, 0x88, 0x84, '$', 0x00, 0x21}}, {101, {0x41, 0x9A, 0x02}}};
    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); ++b) {
            RecordingUser user;
            CRTSPStreamParser parser(&user, 0, 2);
            parser.Feed(stream.data(), a);
            parser.Feed(stream.data() + a, b - a);
            parser.Feed(stream.data() + b, stream.size() - b);
            ASSERT_EQ(expected, user.packets) << "split at " << a << " and " << b;
        }
    }
}

}  // namespace
}  // namespace talvik

// What the corpus replays (rtcp_compound, interleaved) cannot hold: RTCP
// delays, sequence statistics over runs of numbers, and the splits of an
// interleaved stream.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "rtsp/RTCPPackets.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPSequenceStatistics.h"
#include "rtsp/RTPSourceLock.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPResponseParser.h"
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

// The RTP packet the camera would send: version 2, PT 96, one payload byte.
CRTPPacket PacketFrom(uint32_t ssrc, uint16_t sequence) {
    const uint8_t bytes[] = {0x80,
                             0x60,
                             uint8_t(sequence >> 8),
                             uint8_t(sequence),
                             0,
                             0,
                             0,
                             0,
                             uint8_t(ssrc >> 24),
                             uint8_t(ssrc >> 16),
                             uint8_t(ssrc >> 8),
                             uint8_t(ssrc),
                             0x41};
    CRTPPacket packet;
    EXPECT_TRUE(packet.Parse(bytes, sizeof(bytes)));
    return packet;
}

// Packets parsed from their bytes, the lock set up from a SETUP answer as
// the client reads it.
TEST(SourceLock, LocksDropsAndTakesRestartedStreams) {
    for (const auto& row : test::DataRows("rtsp/data/source_lock.txt")) {
        CRTPSourceLock lock;
        if (row[1] != "-") {
            CRTSPResponseParser parser;
            ASSERT_TRUE(parser.ParseResponse(
                RTSPMethod::SETUP,
                "RTSP/1.0 200 OK\r\nCSeq: 3\r\nTransport: " + row[1] + "\r\nSession: 1\r\n\r\n"))
                << row[0];
            const RTSPSessionInfo& info = parser.GetSessionInfo();
            if (info.hasSsrc) lock.Expect(info.ssrc);
        }
        std::string verdicts;
        std::istringstream packets(row[2]);
        for (std::string word; packets >> word;) {
            const size_t colon = word.find(':');
            const uint32_t ssrc = uint32_t(std::stoul(word.substr(0, colon), nullptr, 16));
            const std::string numbers = word.substr(colon + 1);
            const size_t dots = numbers.find("..");
            const uint32_t from = uint32_t(std::stoul(numbers));
            const uint32_t to =
                dots == std::string::npos ? from : std::stoul(numbers.substr(dots + 2));
            for (uint32_t seq = from; seq <= to; ++seq) {
                static const char kLetters[] = "aendD";
                verdicts += kLetters[int(lock.Check(PacketFrom(ssrc, uint16_t(seq))))];
            }
        }
        // The expected letters, "63a" written out.
        std::string expected;
        std::istringstream words(row[3]);
        for (std::string word; words >> word;)
            expected += std::string(word.size() > 1 ? std::stoul(word) : 1, word.back());
        EXPECT_EQ(expected, verdicts) << row[0];
        EXPECT_EQ(row[4], std::to_string(lock.Dropped())) << row[0];
        char source[9];
        std::snprintf(source, sizeof(source), "%08X", unsigned(lock.Source()));
        EXPECT_EQ(row[5], source) << row[0];
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

struct PacketLog : IRTSPClientUser {
    bool OnRTSPSessionReady(RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(CRTPPacket* packet) override { packets.push_back(*packet); }
    void OnRTSPClientStopped() override {}
    std::vector<CRTPPacket> packets;
};

// A '$' header promising 65,535 bytes but carrying 100 bytes of noise,
// after ten of the camera's 150 packets (1000 bytes each). Only the camera's
// packets may pass the parser and the source lock, whatever the noise's
// lead bytes: those that are no RTP of the session are not believed and the
// parser scans on; those that look like it swallow packets, but the packet
// they make comes from a stranger and the stream resumes at the next frame.
TEST(RTSPStreamParser, NoiseFrameNeverPassesAndTheStreamResumes) {
    const struct {
        const char* name;
        Bytes lead;
        Bytes tail;          // the noise's last bytes
        uint16_t resumesAt;  // the first packet after the noise that passes
    } rows[] = {
        {"NotVersionTwo", {0x3F, 0xA1, 0x5C, 0x02}, {}, 11},
        {"RtcpType", {0x80, 0xC8, 0x00, 0x06}, {}, 11},
        {"OtherPayloadType", {0x80, 0x61, 0x12, 0x34}, {}, 11},
        {"LooksLikeTheSession",
         {0x80, 0xE0, 0x12, 0x34, 0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF},
         {},
         77},
        // A '$' near the noise's end makes a header of the camera's next one.
        {"EndsInDollar", {0x3F, 0xA1}, {'$'}, 11},
        {"EndsInDollarAndOurChannel", {0x3F, 0xA1}, {'$', 0x00}, 11},
        {"EndsInDollarAndTwoBytes", {0x3F, 0xA1}, {'$', 0x07, 0x31}, 11},
    };
    for (const auto& row : rows) {
        Bytes stream;
        auto frame = [&stream](const Bytes& packet) {
            stream.insert(stream.end(),
                          {'$', 0, uint8_t(packet.size() >> 8), uint8_t(packet.size())});
            stream.insert(stream.end(), packet.begin(), packet.end());
        };
        for (uint16_t seq = 1; seq <= 150; ++seq) {
            Bytes packet = {0x80, 0xE0, uint8_t(seq >> 8), uint8_t(seq), 0, 0, 0, 0, 0x7B, 0x3C,
                            0x1D, 0x2E};
            packet.resize(1000, 0x11);
            frame(packet);
            if (seq != 10) continue;
            Bytes noise = row.lead;
            for (uint32_t x = 12345; noise.size() < 100 - row.tail.size();) {
                x = x * 1103515245u + 12345u;
                noise.push_back(uint8_t(x >> 16));
            }
            noise.insert(noise.end(), row.tail.begin(), row.tail.end());
            stream.insert(stream.end(), {'$', 0, 0xFF, 0xFF});
            stream.insert(stream.end(), noise.begin(), noise.end());
        }
        for (size_t chunk : {stream.size(), size_t(1400), size_t(7)}) {
            PacketLog user;
            CRTSPStreamParser parser(&user, 0, 2);
            parser.SetPayloadTypes({96});
            for (size_t pos = 0; pos < stream.size(); pos += chunk)
                parser.Feed(stream.data() + pos, std::min(chunk, stream.size() - pos));
            // What passes the lock is what the depacketiser is fed.
            CRTPSourceLock lock;
            std::vector<uint16_t> passed;
            for (const CRTPPacket& packet : user.packets) {
                const auto verdict = lock.Check(packet);
                if (verdict == CRTPSourceLock::Verdict::kDrop ||
                    verdict == CRTPSourceLock::Verdict::kDropFirst) {
                    continue;
                }
                passed.push_back(packet.sequenceNumber);
                EXPECT_EQ(988u, packet.payload.size()) << row.name;
            }
            std::vector<uint16_t> expected;
            for (uint16_t seq = 1; seq <= 150; ++seq)
                if (seq <= 10 || seq >= row.resumesAt) expected.push_back(seq);
            EXPECT_EQ(expected, passed) << row.name << ", chunks of " << chunk;
            EXPECT_EQ(1u, parser.LostCount()) << row.name << ", chunks of " << chunk;
        }
    }
}

// A camera that sends payload type 97 where its description names 96: the
// first frames are not believed, the fourth of them in a row makes 97 one
// of the session's, and from then on every frame arrives.
TEST(RTSPStreamParser, TypeTheDescriptionDidNotNameIsLearnt) {
    Bytes stream;
    for (uint16_t seq = 1; seq <= 10; ++seq) {
        const Bytes packet = {0x80, 0xE1, 0, uint8_t(seq), 0, 0, 0, 0, 1, 2, 3, 4, 0x41, 0x11};
        stream.insert(stream.end(), {'$', 0, 0, uint8_t(packet.size())});
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    PacketLog user;
    CRTSPStreamParser parser(&user, 0, 2);
    parser.SetPayloadTypes({96});
    parser.Feed(stream.data(), stream.size());
    std::vector<uint16_t> delivered;
    for (const CRTPPacket& packet : user.packets)
        delivered.push_back(packet.sequenceNumber);
    EXPECT_EQ(delivered, (std::vector<uint16_t>{4, 5, 6, 7, 8, 9, 10}));
}

}  // namespace
}  // namespace talvik

#include "rtsp/RTPReceiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "base/Event.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using talvik_test::ThreadCount;
using talvik_test::UdpPeer;
using Bytes = std::vector<uint8_t>;

struct Received {
    uint16_t seq;
    uint8_t marker;
    uint32_t payloadLength;
    uint8_t firstPayloadByte;
    uint16_t senderPort;
};

class RecordingReceiverUser : public IRTPReceiverUser {
public:
    void OnRTPPacket(const IPv4Endpoint& sender, const CRTPPacket& packet) override {
        if (holdFirst.exchange(false)) {
            entered.Set();
            release.Wait(talvik::kInfinite);
        }
        {
            std::lock_guard<std::mutex> lock(waiter.mutex);
            packets.push_back(Received{packet.sequenceNumber, packet.marker, packet.payloadLength,
                                       packet.payload.empty() ? uint8_t(0) : packet.payload[0],
                                       sender.port});
            ++count;
        }
        waiter.Notify();
    }

    bool WaitForCount(size_t n) {
        return waiter.WaitFor([&] { return packets.size() >= n; });
    }

    talvik_test::Waiter waiter;
    std::vector<Received> packets;
    std::atomic<size_t> count{0};
    std::atomic<bool> holdFirst{false};
    CEvent entered;
    CManualEvent release;
};

// RTP version 2, PT 96, SSRC 0A0B0C0D, then `payloadSize` bytes counting up from `first`.
Bytes RtpPacket(uint16_t seq, uint32_t timestamp, bool marker, size_t payloadSize, uint8_t first) {
    Bytes p = talvik_test::Hex("8060 0000 00000000 0A0B0C0D");
    p[1] |= marker ? 0x80 : 0;
    p[2] = uint8_t(seq >> 8);
    p[3] = uint8_t(seq);
    talvik_test::Put32(p, 4, timestamp);
    for (size_t i = 0; i < payloadSize; ++i)
        p.push_back(uint8_t(first + i));
    return p;
}

// 1080p at 25 frames per second: a 160 kB key frame every 25 frames, 24 kB
// otherwise, cut into packets of at most 1400 payload bytes; marker on the
// last packet of each frame, timestamps 3600 apart at 90 kHz.
std::vector<Bytes> Stream1080p25(int frames, uint16_t firstSeq) {
    std::vector<Bytes> packets;
    uint16_t seq = firstSeq;
    for (int frame = 0; frame < frames; ++frame) {
        size_t left = frame % 25 == 0 ? 160000 : 24000;
        const uint32_t timestamp = 1000000u + uint32_t(frame) * 3600u;
        while (left > 0) {
            const size_t size = std::min<size_t>(left, 1400);
            left -= size;
            packets.push_back(RtpPacket(seq, timestamp, left == 0, size, uint8_t(seq)));
            ++seq;
        }
    }
    return packets;
}

class RTPReceiverTest : public ::testing::Test {
protected:
    RTPReceiverTest() { receiver.SetUser(&user); }

    talvik_test::RecordingLogger log;
    RecordingReceiverUser user;
    CRTPReceiver receiver{&log};
    UdpPeer camera;
};

TEST_F(RTPReceiverTest, FullRateStreamArrivesInOrderWithoutLoss) {
    const int threadsBefore = ThreadCount();
    ASSERT_TRUE(receiver.Open(false, 0));
    ASSERT_NE(receiver.GetPort(), 0);
    EXPECT_EQ(ThreadCount(), threadsBefore + 2);

    const std::vector<Bytes> stream = Stream1080p25(150, 64000);  // crosses the wrap
    ASSERT_GT(stream.size(), 3000u);
    for (size_t i = 0; i < stream.size(); ++i) {
        // Up to 128 datagrams in flight, about one key frame's burst: more than
        // a 64 KiB socket buffer holds, far less than the receiver's.
        ASSERT_TRUE(user.waiter.WaitFor([&] { return user.packets.size() + 128 > i; }));
        ASSERT_TRUE(camera.SendTo(receiver.GetPort(), stream[i]));
    }
    ASSERT_TRUE(user.WaitForCount(stream.size()));

    ASSERT_EQ(user.packets.size(), stream.size());
    for (size_t i = 0; i < stream.size(); ++i) {
        const Received& r = user.packets[i];
        ASSERT_EQ(r.seq, uint16_t(64000 + i)) << i;
        ASSERT_EQ(r.payloadLength + 12, stream[i].size()) << i;
        ASSERT_EQ(r.firstPayloadByte, uint8_t(r.seq)) << i;
        ASSERT_EQ(r.marker, stream[i][1] >> 7) << i;
        ASSERT_EQ(r.senderPort, camera.Port());
    }
    EXPECT_EQ(receiver.GetDroppedCount(), 0u);
    receiver.Close();
    EXPECT_EQ(receiver.GetPort(), 0);
    EXPECT_TRUE(log.Lines().empty()) << "threads ended without force";
}

// The delivery thread is woken per frame, not per packet: packets that end no
// frame must still all arrive, in order, whether or not a marker follows;
// datagrams that do not parse are dropped. Each round reopens the receiver,
// and a close leaves no thread behind.
TEST_F(RTPReceiverTest, EveryPacketArrivesWithOrWithoutMarkerOverReopens) {
    const int threadsBefore = ThreadCount();
    const std::vector<std::vector<std::pair<int, bool>>> rounds = {
        {{1, false}},
        {{int(CRTPReceiver::kWakeBatch) * 3 + 1, false}},
        {{10, true}, {10, true}, {2, false}}};  // packets per burst, marker on its last
    Bytes versionOne = RtpPacket(0, 0, false, 10, 0);
    versionOne[0] = 0x40;
    uint16_t seq = 0;
    for (const auto& bursts : rounds) {
        ASSERT_TRUE(receiver.Open(false, 0));
        ASSERT_TRUE(camera.SendTo(receiver.GetPort(), versionOne));
        ASSERT_TRUE(camera.SendTo(receiver.GetPort(), Bytes(12, 0x80)));  // header only
        for (const auto& burst : bursts) {
            for (int i = 0; i < burst.first; ++i) {
                const bool marker = burst.second && i + 1 == burst.first;
                // Sizes vary so that a reused packet with stale bytes would show.
                ASSERT_TRUE(camera.SendTo(receiver.GetPort(),
                                          RtpPacket(seq, seq, marker, 1 + seq % 7, uint8_t(seq))));
                ++seq;
            }
            ASSERT_TRUE(user.WaitForCount(seq));
        }
        receiver.Close();
        EXPECT_EQ(receiver.GetPort(), 0);
        EXPECT_TRUE(talvik_test::WaitForThreadCount(threadsBefore));
    }
    ASSERT_EQ(user.packets.size(), seq);
    for (uint16_t i = 0; i < seq; ++i) {
        EXPECT_EQ(user.packets[i].seq, i);
        EXPECT_EQ(user.packets[i].payloadLength, 1u + i % 7);
        EXPECT_EQ(user.packets[i].firstPayloadByte, uint8_t(i));
    }
    EXPECT_TRUE(log.Lines().empty());
}

struct BoundCase {
    const char* name;
    size_t maxPackets;
    size_t maxBytes;
    size_t payloadSize;
    size_t queued;  // what fits while the user is busy
};

class QueueBoundTest : public RTPReceiverTest, public ::testing::WithParamInterface<BoundCase> {};

// While the user is stuck, the queue fills to its limit; the newest datagrams
// are dropped and counted, and everything queued is still delivered in order.
TEST_P(QueueBoundTest, FullQueueDropsNewestDatagrams) {
    const BoundCase& c = GetParam();
    user.holdFirst = true;
    receiver.SetQueueLimits(c.maxPackets, c.maxBytes);
    ASSERT_TRUE(receiver.Open(false, 0));
    ASSERT_TRUE(camera.SendTo(receiver.GetPort(), RtpPacket(0, 0, false, c.payloadSize, 0)));
    ASSERT_TRUE(user.entered.Wait(talvik_test::kWaitLimitMs));
    const size_t extra = 20;
    const size_t total = c.queued + extra;
    for (size_t i = 1; i <= total; ++i) {
        ASSERT_TRUE(
            camera.SendTo(receiver.GetPort(), RtpPacket(uint16_t(i), 0, false, c.payloadSize, 0)));
        // Keep the kernel buffer shallow: wait until the socket thread caught up.
        for (int spin = 0; spin < 20000; ++spin) {
            if (receiver.GetQueuedCount() + receiver.GetDroppedCount() + 32 >= i) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    for (int spin = 0; spin < 20000 && receiver.GetDroppedCount() < extra; ++spin) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(receiver.GetQueuedCount(), c.queued);
    EXPECT_EQ(receiver.GetDroppedCount(), extra);
    user.release.Set();
    ASSERT_TRUE(user.WaitForCount(c.queued + 1));
    for (size_t i = 0; i <= c.queued; ++i)
        ASSERT_EQ(user.packets[i].seq, i);
    receiver.Close();
    EXPECT_EQ(user.count.load(), c.queued + 1) << "the dropped ones never arrive";
}

INSTANTIATE_TEST_SUITE_P(Cases, QueueBoundTest,
                         ::testing::Values(BoundCase{"PacketLimit", 64, 1 << 20, 100, 64},
                                           BoundCase{"ByteLimit", 1000, 10 * 1412, 1400, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

// The receiver reads a datagram's fixed header beside the packet and the
// rest straight into its payload: the packet must equal the whole datagram
// parsed at once, valid or not.
TEST(RTPPacket, SplitReadParsesAsTheWholeDatagram) {
    const auto rows = talvik::test::DataRows("rtsp/data/rtp_datagrams.txt");
    ASSERT_EQ(rows.size(), 13u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        const Bytes datagram = talvik_test::Hex(row[1].c_str());
        CRTPPacket whole;
        const bool parsed = whole.Parse(datagram.data(), datagram.size());
        EXPECT_EQ(parsed, row[2] == "yes");

        uint8_t head[CRTPPacket::kFixedHeaderSize] = {};
        std::copy_n(datagram.begin(), std::min(datagram.size(), sizeof head), head);
        CRTPPacket split;
        // Left over from an earlier, longer datagram.
        split.payload.assign(datagram.size() + 9, 0xEE);
        std::copy(datagram.begin() + std::min(datagram.size(), sizeof head), datagram.end(),
                  split.payload.begin());
        EXPECT_EQ(split.ParseReceived(head, datagram.size()), parsed);

        EXPECT_EQ(split.payload, whole.payload);
        EXPECT_EQ(split.payloadLength, whole.payloadLength);
        EXPECT_EQ(split.csrcCount, whole.csrcCount);
        EXPECT_EQ(split.csrcList, whole.csrcList);
        EXPECT_EQ(split.extensionProfile, whole.extensionProfile);
        EXPECT_EQ(split.extensionLength, whole.extensionLength);
        EXPECT_EQ(split.extensionData, whole.extensionData);
        EXPECT_EQ(split.marker, whole.marker);
        EXPECT_EQ(split.padding, whole.padding);
        EXPECT_EQ(split.payloadType, whole.payloadType);
        EXPECT_EQ(split.sequenceNumber, whole.sequenceNumber);
        EXPECT_EQ(split.timestamp, whole.timestamp);
        EXPECT_EQ(split.ssrc, whole.ssrc);
    }
}

// A datagram longer than the receive limit is lost and raises the limit a
// step at a time (1536, 2560, 3584 bytes), so that the third of 3000 bytes
// gets through; a small one after each lets the socket thread catch up, and
// the packets around them keep their full payloads.
TEST_F(RTPReceiverTest, OversizedDatagramsGrowTheLimitAndOthersStayWhole) {
    ASSERT_TRUE(receiver.Open(false, 0));
    const size_t sizes[] = {1400, 3000, 100, 3000, 100, 3000, 1400};
    size_t arrived = 0;
    for (uint16_t seq = 0; seq < 7; ++seq) {
        ASSERT_TRUE(camera.SendTo(receiver.GetPort(),
                                  RtpPacket(seq, 0, true, sizes[seq], uint8_t(seq * 16))));
        if (sizes[seq] != 3000 || seq == 5) {
            ASSERT_TRUE(user.WaitForCount(++arrived)) << seq;
        }
    }
    std::vector<std::pair<uint16_t, uint32_t>> got;
    for (const Received& r : user.packets)
        got.emplace_back(r.seq, r.payloadLength);
    const std::vector<std::pair<uint16_t, uint32_t>> expected = {
        {0, 1400}, {2, 100}, {4, 100}, {5, 3000}, {6, 1400}};
    EXPECT_EQ(got, expected);
    receiver.Close();
}

}  // namespace
}  // namespace talvik

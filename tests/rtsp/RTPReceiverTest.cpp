#include "rtsp/RTPReceiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "Loopback.h"
#include "base/Event.h"
#include "base/MemoryBudget.h"
#include "base/Text.h"
#include "platform/OsThread.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using talvik_test::ThreadCount;
using Bytes = std::vector<uint8_t>;

struct RecordingReceiverUser : IRTPReceiverUser {
    void OnRTPPacket(const IPv4Endpoint& sender, const CRTPPacket& packet) override {
        if (holdFirst.exchange(false)) {
            entered.Set();
            release.Wait(talvik::kInfinite);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            // The packet as it came: number, marker, payload length, payload, the sender's port.
            Bytes p = {uint8_t(packet.sequenceNumber >> 8), uint8_t(packet.sequenceNumber),
                       packet.marker, uint8_t(packet.payloadLength >> 8),
                       uint8_t(packet.payloadLength)};
            p.insert(p.end(), packet.payload.begin(), packet.payload.end());
            p.push_back(uint8_t(sender.port >> 8));
            p.push_back(uint8_t(sender.port));
            packets.push_back(p);
        }
    }
    bool WaitForCount(size_t n) {
        const auto count = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return packets.size();
        };
        return talvik_test::WaitUntil([&] { return count() >= n; }, talvik_test::kWaitLimitMs);
    }

    std::mutex mutex;
    std::vector<Bytes> packets;
    std::atomic<bool> holdFirst{false};
    CEvent entered;
    CManualEvent release;
};

// RTP version 2, PT 96, SSRC 0A0B0C0D, then `payloadSize` bytes counting up from `first`.
Bytes RtpPacket(uint16_t seq, uint32_t timestamp, bool marker, size_t payloadSize, uint8_t first) {
    Bytes p = {0x80,
               uint8_t(marker ? 0xE0 : 0x60),
               uint8_t(seq >> 8),
               uint8_t(seq),
               0,
               0,
               0,
               0,
               0x0A,
               0x0B,
               0x0C,
               0x0D};
    for (int i = 0; i < 4; ++i)
        p[4 + i] = uint8_t(timestamp >> (24 - 8 * i));
    for (size_t i = 0; i < payloadSize; ++i)
        p.push_back(uint8_t(first + i));
    return p;
}

// What RecordingReceiverUser records of a packet sent from `port`.
Bytes AsRecorded(const Bytes& sent, uint16_t port) {
    const size_t length = sent.size() - 12;
    Bytes p = {sent[2], sent[3], uint8_t(sent[1] >> 7), uint8_t(length >> 8), uint8_t(length)};
    p.insert(p.end(), sent.begin() + 12, sent.end());
    p.push_back(uint8_t(port >> 8));
    p.push_back(uint8_t(port));
    return p;
}

struct RTPReceiverTest : ::testing::Test {
    RTPReceiverTest() { receiver.SetUser(&user); }

    talvik_test::RecordingLogger log;
    RecordingReceiverUser user;
    CRTPReceiver receiver{&log};
    talvik_test::UdpPeer camera;
};

// A full-rate stream arrives whole and in order. The delivery thread is woken
// per frame, not per packet: packets that end no frame must still all arrive,
// whether or not a marker follows; datagrams that do not parse are dropped.
// Each round reopens the receiver: a close ends the socket thread, and the
// delivery thread, the same one throughout, ends only at the stop.
TEST_F(RTPReceiverTest, EveryPacketArrivesInOrderOverReopens) {
    const int threadsBefore = ThreadCount();
    uint32_t deliveryThread = 0;
    std::vector<std::vector<Bytes>> rounds(4);
    uint16_t seq = 64000;  // crosses the wrap
    // 1080p at 25 frames per second: a 160 kB key frame every 25 frames, 24 kB
    // otherwise, in packets of at most 1400 payload bytes, 3600 apart at 90 kHz.
    for (uint32_t frame = 0; frame < 150; ++frame) {
        for (size_t left = frame % 25 ? 24000 : 160000, size; left > 0; left -= size, ++seq) {
            size = std::min<size_t>(left, 1400);
            rounds[0].push_back(RtpPacket(seq, 1000000 + frame * 3600, left == size, size, seq));
        }
    }
    // Packets per burst, marker on its last; sizes vary so that a reused
    // packet with stale bytes would show.
    const std::vector<std::vector<std::pair<int, bool>>> bursts = {
        {{1, false}},
        {{int(CRTPReceiver::kWakeBatch) * 3 + 1, false}},
        {{10, true}, {10, true}, {2, false}}};
    for (size_t r = 0; r < bursts.size(); ++r)
        for (const auto& [count, marked] : bursts[r])
            for (int i = 0; i < count; ++i, ++seq)
                rounds[r + 1].push_back(
                    RtpPacket(seq, seq, marked && i + 1 == count, 1 + seq % 7, seq));
    Bytes versionOne = RtpPacket(0, 0, false, 10, 0);
    versionOne[0] = 0x40;
    std::vector<Bytes> expected;
    for (const std::vector<Bytes>& round : rounds) {
        ASSERT_TRUE(receiver.Open(false, 0));
        EXPECT_EQ(ThreadCount(), threadsBefore + 2);
        ASSERT_TRUE(talvik_test::WaitUntil([&] { return receiver.ThreadId() != 0; }));
        if (deliveryThread == 0) deliveryThread = receiver.ThreadId();
        EXPECT_EQ(receiver.ThreadId(), deliveryThread) << "a reopen restarted the delivery thread";
        ASSERT_TRUE(camera.SendTo(receiver.GetPort(), versionOne));
        ASSERT_TRUE(camera.SendTo(receiver.GetPort(), Bytes(12, 0x80)));  // header only
        for (const Bytes& packet : round) {
            // Up to 128 datagrams in flight, about one key frame's burst: more
            // than a 64 KiB socket buffer holds, far less than the receiver's.
            ASSERT_TRUE(user.WaitForCount(expected.size() < 128 ? 0 : expected.size() - 127));
            ASSERT_TRUE(camera.SendTo(receiver.GetPort(), packet));
            expected.push_back(AsRecorded(packet, camera.Port()));
        }
        ASSERT_TRUE(user.WaitForCount(expected.size()));
        receiver.Close();
        EXPECT_EQ(receiver.GetPort(), 0);
        EXPECT_TRUE(talvik_test::WaitForThreadCount(threadsBefore + 1));
    }
    EXPECT_TRUE(receiver.StopThread(2000));
    EXPECT_TRUE(talvik_test::WaitForThreadCount(threadsBefore));
    EXPECT_EQ(user.packets, expected);
    EXPECT_EQ(receiver.GetDroppedCount(), 0u);
    EXPECT_TRUE(log.Lines().empty()) << "threads ended without force";
}

// While the user is stuck, the queue fills to its limit (of packets, then of
// bytes); the newest datagrams are dropped and counted, and everything queued
// is still delivered in order.
TEST_F(RTPReceiverTest, FullQueueDropsNewestDatagrams) {
    const size_t cases[][4] = {{64, 1 << 20, 100, 64}, {1000, 10 * 1412, 1400, 10}};
    size_t dropped = 0, delivered = 0;
    for (const auto& [maxPackets, maxBytes, payloadSize, queued] : cases) {
        user.holdFirst = true;
        receiver.SetQueueLimits(maxPackets, maxBytes);
        ASSERT_TRUE(receiver.Open(false, 0));
        ASSERT_TRUE(camera.SendTo(receiver.GetPort(), RtpPacket(0, 0, false, payloadSize, 0)));
        ASSERT_TRUE(user.entered.Wait(talvik_test::kWaitLimitMs));
        for (size_t i = 1; i <= queued + 20; ++i) {
            ASSERT_TRUE(camera.SendTo(receiver.GetPort(),
                                      RtpPacket(uint16_t(i), 0, false, payloadSize, 0)));
            // Keep the kernel buffer shallow: wait until the socket thread caught up.
            ASSERT_TRUE(talvik_test::WaitUntil(
                [&] {
                    return receiver.GetQueuedCount() + receiver.GetDroppedCount() - dropped + 32 >=
                           i;
                },
                talvik_test::kWaitLimitMs));
        }
        ASSERT_TRUE(talvik_test::WaitUntil(
            [&] { return receiver.GetDroppedCount() >= dropped + 20; }, talvik_test::kWaitLimitMs));
        EXPECT_EQ(receiver.GetQueuedCount(), queued);
        EXPECT_EQ(receiver.GetDroppedCount(), dropped += 20);
        user.release.Set();
        ASSERT_TRUE(user.WaitForCount(delivered + queued + 1));
        for (size_t i = 0; i <= queued; ++i)
            ASSERT_EQ(user.packets[delivered + i][1], i);
        receiver.Close();
        EXPECT_EQ(user.packets.size(), delivered += queued + 1) << "the dropped ones never arrive";
        user.release.Reset();
    }
}

// A receiver charged to a shared budget, whose user (the host) stalls in
// the first packet.
struct StalledStream {
    explicit StalledStream(CMemoryBudget* budget) {
        receiver.SetUser(&user);
        receiver.SetMemoryBudget(budget);
        user.holdFirst = true;
    }
    ~StalledStream() { user.release.Set(); }
    // Packets [from, to) of 100 bytes, each waited for until the socket
    // thread has queued or dropped it (the first is with the user).
    void Send(uint16_t from, uint16_t to) {
        for (uint16_t seq = from; seq < to; ++seq) {
            ASSERT_TRUE(camera.SendTo(receiver.GetPort(), RtpPacket(seq, seq, true, 100, 0)));
            ASSERT_TRUE(talvik_test::WaitUntil(
                [&] { return receiver.GetQueuedCount() + receiver.GetDroppedCount() == seq; },
                talvik_test::kWaitLimitMs))
                << seq;
        }
    }
    std::vector<uint16_t> Delivered() {
        std::lock_guard<std::mutex> lock(user.mutex);
        std::vector<uint16_t> numbers;
        for (const Bytes& p : user.packets)
            numbers.push_back(uint16_t(p[0] << 8 | p[1]));
        return numbers;
    }
    std::vector<uint16_t> Range(uint16_t from, uint16_t to) {
        std::vector<uint16_t> numbers;
        for (uint16_t seq = from; seq < to; ++seq)
            numbers.push_back(seq);
        return numbers;
    }

    talvik_test::RecordingLogger log;
    RecordingReceiverUser user;
    CRTPReceiver receiver{&log};
    talvik_test::UdpPeer camera;
};

// Two streams whose host stalls share a budget of 32 packets' charge. The
// first fills it but the last quarter, which the second, holding little,
// may still use up to a sixteenth; then each drops every new packet, logs
// it once, and goes on dropping while its queue holds packets, however much
// room the budget gets, so that the parser meets one gap. Once the host
// resumes, the queued packets arrive in order and the next ones follow.
// Every byte is given back, whether the queues drain or are closed full.
TEST(RTPReceiverBudget, FullBudgetDropsUntilTheQueueDrainsAndEveryByteComesBack) {
    CMemoryBudget budget(1 << 20);
    for (const bool resume : {true, false}) {
        SCOPED_TRACE(resume ? "the host resumes" : "closed while the host stalls");
        {
            budget.SetLimit(1 << 20);
            StalledStream a(&budget), b(&budget);
            for (StalledStream* s : {&a, &b}) {
                ASSERT_TRUE(s->receiver.Open(false, 0));
                ASSERT_TRUE(s->camera.SendTo(s->receiver.GetPort(), RtpPacket(0, 0, true, 100, 0)));
                ASSERT_TRUE(s->user.entered.Wait(talvik_test::kWaitLimitMs));
            }
            a.Send(1, 2);
            const size_t charge = budget.Used();  // of one packet
            ASSERT_GT(charge, 100u);
            budget.SetLimit(32 * charge);
            a.Send(2, 41);
            EXPECT_EQ(a.receiver.GetQueuedCount(), 24u);
            EXPECT_EQ(a.receiver.GetDroppedCount(), 16u);
            b.Send(1, 11);
            EXPECT_EQ(b.receiver.GetQueuedCount(), 2u);
            EXPECT_EQ(b.receiver.GetDroppedCount(), 8u);
            EXPECT_EQ(budget.Used(), 26 * charge);
            budget.SetLimit(1 << 20);
            a.Send(41, 45);
            EXPECT_EQ(a.receiver.GetDroppedCount(), 20u)
                << "the run ended before the queue drained";
            const std::vector<talvik_test::LogLine> line{
                {2, FormatString("talvik::CRTPReceiver::Push: The buffers of all streams are at "
                                 "their limit of %u KiB: RTP packets of device 127.0.0.1:80 are "
                                 "dropped until its queue has drained",
                                 unsigned((32 * charge) >> 10))}};
            EXPECT_EQ(a.log.Lines(), line);
            EXPECT_EQ(b.log.Lines(), line);
            if (resume) {
                a.user.release.Set();
                b.user.release.Set();
                ASSERT_TRUE(a.user.WaitForCount(25));
                ASSERT_TRUE(b.user.WaitForCount(3));
                ASSERT_TRUE(talvik_test::WaitUntil([&] { return budget.Used() == 0; }));
                for (uint16_t seq = 45; seq < 50; ++seq)
                    ASSERT_TRUE(
                        a.camera.SendTo(a.receiver.GetPort(), RtpPacket(seq, 0, true, 100, 0)));
                for (uint16_t seq = 11; seq < 14; ++seq)
                    ASSERT_TRUE(
                        b.camera.SendTo(b.receiver.GetPort(), RtpPacket(seq, 0, true, 100, 0)));
                ASSERT_TRUE(a.user.WaitForCount(30));
                ASSERT_TRUE(b.user.WaitForCount(6));
                std::vector<uint16_t> expected = a.Range(0, 25), after = a.Range(45, 50);
                expected.insert(expected.end(), after.begin(), after.end());
                EXPECT_EQ(a.Delivered(), expected);
                expected = b.Range(0, 3);
                after = b.Range(11, 14);
                expected.insert(expected.end(), after.begin(), after.end());
                EXPECT_EQ(b.Delivered(), expected);
                EXPECT_EQ(a.log.Lines().size(), 1u);
                EXPECT_EQ(b.log.Lines().size(), 1u);
            } else {
                a.receiver.Close();
                b.receiver.Close();
                EXPECT_EQ(budget.Used(), 0u);
            }
        }
        EXPECT_EQ(budget.Used(), 0u);
    }
}

// The user stuck in a packet past the stop limit while the owner lets go of
// the receiver: the stop returns on time with one warning, the delivery
// thread is left to finish (never ended) and holds the receiver until it has;
// the user hears of no packet after the stop.
TEST(RTPReceiverStop, UserStuckPastTheLimitKeepsTheReceiverAlive) {
    talvik_test::RecordingLogger log;
    RecordingReceiverUser user;
    talvik_test::UdpPeer camera;
    auto receiver = std::make_shared<CRTPReceiver>(&log);
    receiver->SetUser(&user);
    user.holdFirst = true;
    ASSERT_TRUE(receiver->Open(false, 0));
    const uint16_t port = receiver->GetPort();
    for (uint16_t seq = 0; seq < 3; ++seq)
        ASSERT_TRUE(camera.SendTo(port, RtpPacket(seq, 0, true, 10, 0)));
    ASSERT_TRUE(user.entered.Wait(talvik_test::kWaitLimitMs));
    const uint32_t id = receiver->ThreadId();
    const uint32_t holds = ModuleHoldCount();
    receiver->Close();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(receiver->StopThread(100));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(ModuleHoldCount() - holds, 1u);
    ASSERT_TRUE(receiver->ThreadLingers());
    receiver->KeepUntilThreadEnds(receiver);
    const std::weak_ptr<CRTPReceiver> watch = receiver;
    receiver.reset();
    EXPECT_FALSE(watch.expired());
    user.release.Set();
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return watch.expired(); }));
    std::lock_guard<std::mutex> delivered(user.mutex);
    EXPECT_EQ(user.packets.size(), 1u);
    const std::vector<talvik_test::LogLine> expected{
        {2, FormatString("talvik::CBaseThread::StopThread: Thread (id=%u, name\"RTP Packet Queue "
                         "(%u)\") was not stopped during 100 milliseconds and is left to end "
                         "by itself",
                         id, unsigned(port))}};
    EXPECT_EQ(log.Lines(), expected);
}

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
    for (const Bytes& r : user.packets)
        got.emplace_back(uint16_t(r[0] << 8 | r[1]), uint32_t(r[3] << 8 | r[4]));
    const std::vector<std::pair<uint16_t, uint32_t>> expected = {
        {0, 1400}, {2, 100}, {4, 100}, {5, 3000}, {6, 1400}};
    EXPECT_EQ(got, expected);
    receiver.Close();
}

}  // namespace
}  // namespace talvik

#include "rtsp/UDPClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>
#include <stdexcept>

#include "Loopback.h"
#include "rtsp/PortSearch.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using talvik_test::WaitUntil;
using Bytes = std::vector<uint8_t>;

struct RecordingClientUser : IRTPClientUser {
    void OnRTPData(IRTPClient*, const IPv4Endpoint& sender, const uint8_t* data,
                   size_t length) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            datagrams.emplace_back(data, data + length);
            senders.push_back(sender);
            outsideBurst += burstsBegun == burstsEnded;
        }
        if (throwOnData) throw std::runtime_error("user failure");
    }
    void OnRTPTimeout(IRTPClient*) override { ++timeouts; }
    void OnRTPClientClosed(IRTPClient*) override { ++closed; }
    void OnRTPBurst(IRTPClient*, bool begins) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++(begins ? burstsBegun : burstsEnded);
    }
    // Locked: the datagrams end with `last`, and every burst begun has ended.
    bool Received(const Bytes& last) {
        std::lock_guard<std::mutex> lock(mutex);
        return !datagrams.empty() && datagrams.back() == last && burstsBegun == burstsEnded;
    }

    std::mutex mutex;
    std::vector<Bytes> datagrams;
    std::vector<IPv4Endpoint> senders;
    int burstsBegun = 0, burstsEnded = 0, outsideBurst = 0;
    std::atomic<int> timeouts{0}, closed{0};
    bool throwOnData = false;
};

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(seed + i * 7);
    return data;
}

// Bad multicast groups open nothing. Each round opens a free port, delivers datagrams with their
// sender to a user that throws, reports time-outs while quiet, and closes, joining its thread. The
// receiver wakes its delivery thread when a burst ends: an end never sent would hold the frame
// back.
TEST(UDPClient, DeliversOverReopensThroughAThrowingUser) {
    talvik_test::RecordingLogger log;
    RecordingClientUser user;
    talvik_test::UdpPeer camera;
    user.throwOnData = true;
    std::vector<Bytes> sent;
    {
        CUDPClient client(&log);
        EXPECT_FALSE(client.OpenMulticastAnyInterface(&user, "", 0));
        EXPECT_FALSE(client.OpenMulticastAnyInterface(&user, "239.1.2", 0));
        EXPECT_FALSE(client.OpenMulticastAnyInterface(&user, nullptr, 0));
        EXPECT_FALSE(client.OpenMulticast(&user, "10.0.0.1", 0, talvik_test::kLoopback))
            << "not a group: the membership fails";
        EXPECT_FALSE(client.IsOpen());
        ASSERT_EQ(log.Lines().size(), 1u) << "the failed membership is logged";
        EXPECT_NE(log.Lines()[0].text.find(": join group: "), std::string::npos)
            << log.Lines()[0].text;
        const int closed = user.closed;
        client.SetWaitTimeout(20);
        for (int round = 1; round <= 3; ++round) {
            ASSERT_TRUE(client.Open(&user, 0));
            EXPECT_TRUE(client.IsOpen());
            for (uint8_t seed : {uint8_t(round), uint8_t(round + 100)}) {
                sent.push_back(Pattern(1400, seed));
                ASSERT_TRUE(camera.SendTo(client.GetPort(), sent.back()));
                ASSERT_TRUE(WaitUntil([&] { return user.Received(sent.back()); }));
            }
            const int timeouts = user.timeouts;
            EXPECT_TRUE(WaitUntil([&] { return user.timeouts >= timeouts + 3; }));
            EXPECT_TRUE(client.Close()) << "joined, round " << round;
            EXPECT_EQ(client.GetPort(), 0);
            EXPECT_FALSE(client.IsOpen());
            EXPECT_EQ(user.closed.load(), closed + round);
        }
    }
    EXPECT_EQ(user.datagrams, sent);
    for (const IPv4Endpoint& sender : user.senders)
        EXPECT_EQ(sender, (IPv4Endpoint{talvik_test::kLoopback, camera.Port()}));
    EXPECT_EQ(user.burstsBegun, 6);
    EXPECT_EQ(user.outsideBurst, 0);
    EXPECT_EQ(log.Lines().size(), 1u) << "no forced stop, no warning";
}

// Each datagram too large for the buffer is lost and grows the buffer by 1 KiB.
TEST(UDPClient, LosesOversizedDatagramsWhileGrowingTheBuffer) {
    const struct {
        size_t size;
        int sends;
        size_t delivered;  // of the large datagrams
    } cases[] = {{8192, 1, 1}, {9000, 2, 1}, {9000, 4, 3}};
    for (const auto& c : cases) {
        talvik_test::RecordingLogger log;
        RecordingClientUser user;
        talvik_test::UdpPeer camera;
        CUDPClient client(&log);
        ASSERT_TRUE(client.Open(&user, 0));
        for (int i = 0; i < c.sends; ++i)
            ASSERT_TRUE(camera.SendTo(client.GetPort(), Pattern(c.size, uint8_t(i))));
        ASSERT_TRUE(camera.SendTo(client.GetPort(), Bytes{0xEE}));  // marks the end
        ASSERT_TRUE(WaitUntil([&] { return user.Received(Bytes{0xEE}); }));
        std::vector<Bytes> expected;
        for (size_t i = c.sends - c.delivered; i < size_t(c.sends); ++i)
            expected.push_back(Pattern(c.size, uint8_t(i)));
        expected.push_back({0xEE});
        EXPECT_EQ(user.datagrams, expected) << c.size << " " << c.sends;
    }
}

// A burst queued before the reader wakes is read in order in one wake: after
// the reads that empty the socket the next wait sleeps until new data (a
// readiness left set by the reads would cost each burst a second wake), yet
// it wakes for the next datagram; after a shutdown no wait blocks.
TEST(UdpSocket, BurstQueuedAtOnceIsReadInOneWake) {
    using Wait = CUdpSocket::WaitResult;
    talvik_test::UdpPeer camera;
    CUdpSocket socket;
    CUdpSocket::Options options;
    options.receiveBuffer = 1 << 20;
    ASSERT_TRUE(socket.Open(talvik_test::kLoopback, 0, options));
    constexpr int kBurst = CUdpSocket::kMaxBatch + 8;
    for (int i = 0; i < kBurst; ++i)
        ASSERT_TRUE(camera.SendTo(socket.Port(), Pattern(1200, uint8_t(i))));
    constexpr size_t kSlot = 1500;
    std::vector<uint8_t> slots(CUdpSocket::kMaxBatch * kSlot);
    UdpDatagram datagrams[CUdpSocket::kMaxBatch];
    CUdpSocket::ReceiveError error;
    std::vector<Bytes> read;
    const auto readBatch = [&] {
        const int n =
            socket.ReceiveBatch(slots.data(), kSlot, datagrams, CUdpSocket::kMaxBatch, &error);
        for (int i = 0; i < n; ++i)
            read.emplace_back(datagrams[i].data, datagrams[i].data + datagrams[i].length);
        return n;
    };
    ASSERT_EQ(socket.WaitReadable(talvik_test::kWaitLimitMs), Wait::kReadable);
    EXPECT_EQ(readBatch(), CUdpSocket::kMaxBatch);
    EXPECT_EQ(readBatch(), kBurst - CUdpSocket::kMaxBatch);
    EXPECT_EQ(readBatch(), -1);
    EXPECT_EQ(error, CUdpSocket::ReceiveError::kEmpty);
    std::vector<Bytes> sent;
    for (int i = 0; i < kBurst; ++i)
        sent.push_back(Pattern(1200, uint8_t(i)));
    EXPECT_EQ(read, sent);
    EXPECT_EQ(socket.WaitReadable(200), Wait::kTimeout) << "a second wake for the same burst";
    ASSERT_TRUE(camera.SendTo(socket.Port(), Bytes{0xEE}));
    ASSERT_EQ(socket.WaitReadable(talvik_test::kWaitLimitMs), Wait::kReadable);
    EXPECT_EQ(readBatch(), 1);
    EXPECT_EQ(read.back(), Bytes{0xEE});
    socket.Shutdown();
    for (int wait = 0; wait < 2; ++wait)
        EXPECT_NE(socket.WaitReadable(talvik_test::kWaitLimitMs), Wait::kTimeout) << wait;
}

// A taken port is everyday in a port search: the client fails without a line.
TEST(UDPClient, TakenPortFailsQuietly) {
    talvik_test::RecordingLogger log;
    RecordingClientUser user;
    CUDPClient client(&log);
    ASSERT_TRUE(client.Open(&user, 0));
    const uint16_t taken = client.GetPort();
    CUDPClient second(&log);
    EXPECT_FALSE(second.Open(&user, taken));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(log.Lines(), std::vector<talvik_test::LogLine>{});
    client.Close();
}

std::vector<uint32_t> Numbers(const std::string& text) {
    std::vector<uint32_t> out;
    std::istringstream in(text);
    for (uint32_t n = 0; in >> n;)
        out.push_back(n);
    return out;
}

// Streams opened one after the other each try about one pair: the walk goes on
// where the last search stopped instead of from the bottom of the range.
TEST(PortPairSearch, StreamsInSequence) {
    for (const auto& row : talvik::test::DataRows("rtsp/data/port_search.txt")) {
        ASSERT_EQ(row.size(), 7u);
        SCOPED_TRACE(row[0]);
        CPortPairCursor cursor;
        cursor.Restart(std::stoul(row[1]));
        std::set<uint32_t> held;
        uint32_t stopAt = 0;
        const size_t stop = row[2].find("stop ");
        if (stop != std::string::npos) stopAt = std::stoul(row[2].substr(stop + 5));
        if (row[2] == "all") {
            for (uint32_t p = CPortPairCursor::kFirstRtpPort; p <= CPortPairCursor::kLastRtpPort;
                 p += 2)
                held.insert(p);
        } else {
            for (uint32_t p : Numbers(row[2].substr(0, stop)))
                held.insert(p);
        }
        talvik_test::RecordingLogger log;
        std::vector<uint32_t> tried, got;
        for (int stream = 0; stream < std::stoi(row[3]); ++stream) {
            const PortPairSearch search = SearchPortPairs(cursor, &log, [&](uint16_t port) {
                EXPECT_EQ(port % 2, 0);
                if (port == stopAt) return PortPairTry::kStopped;
                return held.insert(port).second ? PortPairTry::kOpened : PortPairTry::kTaken;
            });
            tried.push_back(search.tried);
            got.push_back(search.port);
        }
        EXPECT_EQ(tried, Numbers(row[4]));
        EXPECT_EQ(got, Numbers(row[5]));
        const std::vector<talvik_test::LogLine> lines = log.Lines();
        ASSERT_EQ(lines.size(), std::stoul(row[6]));
        for (const auto& line : lines) {
            EXPECT_EQ(line, (talvik_test::LogLine{1,
                                                  "talvik::CBaseRTPChannel::OpenPorts: Device "
                                                  "127.0.0.1:80: no free UDP port pair from "
                                                  "3556 to 4555"}));
        }
    }
}

}  // namespace
}  // namespace talvik

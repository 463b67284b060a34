#include "rtsp/UDPClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "support/RecordingLogger.h"

namespace talvik {
namespace {

using talvik_test::Loopback;
using talvik_test::UdpPeer;
using Bytes = std::vector<uint8_t>;

class RecordingClientUser : public IRTPClientUser {
public:
    void OnRTPData(IRTPClient*, const IPv4Endpoint& sender, const uint8_t* data,
                   size_t length) override {
        {
            std::lock_guard<std::mutex> lock(waiter.mutex);
            datagrams.emplace_back(data, data + length);
            senders.push_back(sender);
            outsideBurst += burstsBegun == burstsEnded;
        }
        waiter.Notify();
        if (throwOnData) throw std::runtime_error("user failure");
    }
    void OnRTPTimeout(IRTPClient*) override {
        ++timeouts;
        waiter.Notify();
    }
    void OnRTPClientClosed(IRTPClient*) override { ++closed; }
    void OnRTPBurst(IRTPClient*, bool begins) override {
        {
            std::lock_guard<std::mutex> lock(waiter.mutex);
            ++(begins ? burstsBegun : burstsEnded);
        }
        waiter.Notify();
    }

    size_t Count() {
        std::lock_guard<std::mutex> lock(waiter.mutex);
        return datagrams.size();
    }
    bool WaitForCount(size_t n) {
        return waiter.WaitFor([&] { return datagrams.size() >= n; });
    }

    talvik_test::Waiter waiter;
    std::vector<Bytes> datagrams;
    std::vector<IPv4Endpoint> senders;
    int burstsBegun = 0, burstsEnded = 0, outsideBurst = 0;
    std::atomic<int> timeouts{0};
    std::atomic<int> closed{0};
    std::atomic<bool> throwOnData{false};
};

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(seed + i * 7);
    return data;
}

class UDPClientTest : public ::testing::Test {
protected:
    talvik_test::RecordingLogger log;
    RecordingClientUser user;
    CUDPClient client{&log};
    UdpPeer camera;
};

TEST_F(UDPClientTest, DeliversDatagramWithSenderAndReportsRealPort) {
    ASSERT_TRUE(client.Open(&user, 0));
    ASSERT_NE(client.GetPort(), 0);
    EXPECT_TRUE(client.IsOpen());
    const Bytes sent = Pattern(1400, 3);
    ASSERT_TRUE(camera.SendTo(client.GetPort(), sent));
    ASSERT_TRUE(user.WaitForCount(1));
    EXPECT_EQ(user.datagrams[0], sent);
    EXPECT_EQ(user.senders[0].address, Loopback());
    EXPECT_EQ(user.senders[0].port, camera.Port());
    // The receiver wakes its delivery thread when a burst ends: an end never
    // sent would hold the frame back.
    EXPECT_TRUE(user.waiter.WaitFor([&] { return user.burstsEnded == user.burstsBegun; }));
    EXPECT_EQ(user.burstsBegun, 1);
    EXPECT_EQ(user.outsideBurst, 0);
    EXPECT_TRUE(client.Close());
    EXPECT_EQ(client.GetPort(), 0);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(user.closed.load(), 1);
}

struct GrowthCase {
    const char* name;
    size_t size;
    int sends;
    size_t delivered;  // of the large datagrams
};

class ReceiveBufferGrowthTest : public UDPClientTest,
                                public ::testing::WithParamInterface<GrowthCase> {};

// Each datagram too large for the buffer is lost and grows the buffer by 1 KiB.
TEST_P(ReceiveBufferGrowthTest, LosesOversizedDatagramsWhileGrowing) {
    const GrowthCase& c = GetParam();
    ASSERT_TRUE(client.Open(&user, 0));
    for (int i = 0; i < c.sends; ++i)
        ASSERT_TRUE(camera.SendTo(client.GetPort(), Pattern(c.size, uint8_t(i))));
    ASSERT_TRUE(camera.SendTo(client.GetPort(), Bytes{0xEE}));  // marks the end
    ASSERT_TRUE(user.waiter.WaitFor(
        [&] { return !user.datagrams.empty() && user.datagrams.back() == Bytes{0xEE}; }));
    ASSERT_EQ(user.datagrams.size(), c.delivered + 1);
    for (size_t i = 0; i < c.delivered; ++i) {
        EXPECT_EQ(user.datagrams[i], Pattern(c.size, uint8_t(c.sends - c.delivered + i)));
    }
    client.Close();
}

INSTANTIATE_TEST_SUITE_P(Cases, ReceiveBufferGrowthTest,
                         ::testing::Values(GrowthCase{"ExactlyDefaultBuffer", 8192, 1, 1},
                                           GrowthCase{"NineThousandLostOnce", 9000, 2, 1},
                                           GrowthCase{"AfterGrowthAllFit", 9000, 4, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UDPClient, CloseEndsTheThreadAndCanReopen) {
    talvik_test::RecordingLogger log;
    RecordingClientUser user;
    {
        CUDPClient client(&log);
        for (int round = 0; round < 3; ++round) {
            ASSERT_TRUE(client.Open(&user, 0)) << round;
            EXPECT_TRUE(client.Close()) << "joined, round " << round;
        }
    }
    EXPECT_EQ(user.closed.load(), 3);
    EXPECT_TRUE(log.Lines().empty()) << "no forced stop, no warning";
}

TEST_F(UDPClientTest, QuietSocketReportsTimeouts) {
    client.SetWaitTimeout(20);
    ASSERT_TRUE(client.Open(&user, 0));
    EXPECT_TRUE(user.waiter.WaitFor([&] { return user.timeouts >= 3; }));
    client.Close();
}

TEST_F(UDPClientTest, ThrowingUserKeepsReceiving) {
    user.throwOnData = true;
    ASSERT_TRUE(client.Open(&user, 0));
    ASSERT_TRUE(camera.SendTo(client.GetPort(), Bytes{1}));
    ASSERT_TRUE(camera.SendTo(client.GetPort(), Bytes{2}));
    ASSERT_TRUE(user.WaitForCount(2));
    client.Close();
}

TEST_F(UDPClientTest, TakenPortFailsWithOneLogLine) {
    ASSERT_TRUE(client.Open(&user, 0));
    const uint16_t taken = client.GetPort();
    CUDPClient second(&log);
    EXPECT_FALSE(second.Open(&user, taken));
    EXPECT_FALSE(second.IsOpen());
    const std::vector<talvik_test::LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, uint32_t(kLevelError));
    // The system's own text follows, in its language.
    const std::string head =
        "talvik::CUDPClient::Open: UDP port " + std::to_string(taken) + ": bind: ";
    EXPECT_EQ(lines[0].text.substr(0, head.size()), head);
    EXPECT_GT(lines[0].text.size(), head.size());
    client.Close();
}

TEST_F(UDPClientTest, MulticastRejectsBadGroupText) {
    EXPECT_FALSE(client.OpenMulticastAnyInterface(&user, "", 0));
    EXPECT_FALSE(client.OpenMulticastAnyInterface(&user, "239.1.2", 0));
    EXPECT_FALSE(client.OpenMulticastAnyInterface(&user, nullptr, 0));
    EXPECT_FALSE(client.OpenMulticast(&user, "10.0.0.1", 0, Loopback()))
        << "not a group: the membership fails";
    EXPECT_FALSE(client.IsOpen());
}

}  // namespace
}  // namespace talvik

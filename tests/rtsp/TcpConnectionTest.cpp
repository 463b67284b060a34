// The RTSP client's TCP connection against a loopback listener, on every
// platform's socket seam.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Loopback.h"
#include "LoopbackTcp.h"
#include "rtsp/RTSPConnection.h"

namespace talvik {
namespace {

using talvik_test::kWaitLimitMs;

RTSPConnectionParams LoopbackParams(uint16_t port) {
    RTSPConnectionParams params;
    params.host = "127.0.0.1";
    params.port = port;
    return params;
}

TEST(TcpConnection, CarriesBytesBothWaysAndSeesThePeerClose) {
    talvik_test::LoopbackTcpListener camera;
    ASSERT_NE(camera.Port(), 0);
    CTCPRTSPConnection connection;
    ASSERT_TRUE(connection.Connect(LoopbackParams(camera.Port())));
    ASSERT_TRUE(camera.Accept(kWaitLimitMs));
    const std::string request = "OPTIONS rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    EXPECT_EQ(connection.Send(request.data(), request.size()), int(request.size()));
    std::string received;
    ASSERT_TRUE(camera.Receive(&received, request.size(), kWaitLimitMs));
    EXPECT_EQ(received, request);

    ASSERT_TRUE(camera.Send("RTSP/1.0 200 OK\r\n"));
    uint8_t buffer[64];
    const int n = connection.Receive(buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size_t(n)), "RTSP/1.0 200 OK\r\n");
    camera.ClosePeer();
    EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 0);
}

// A receive that would wait ten minutes for a silent camera ends when another
// thread interrupts it (the wake-up of the seam).
TEST(TcpConnection, InterruptEndsABlockedReceive) {
    talvik_test::LoopbackTcpListener camera;
    CTCPRTSPConnection connection;
    RTSPConnectionParams params = LoopbackParams(camera.Port());
    params.receiveTimeoutMs = 600000;
    ASSERT_TRUE(connection.Connect(params));
    ASSERT_TRUE(camera.Accept(kWaitLimitMs));
    talvik_test::Waiter waiter;
    std::atomic<int> result{1};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint8_t buffer[16];
        result = connection.Receive(buffer, sizeof buffer);
        done = true;
        waiter.Notify();
    });
    connection.Interrupt();
    const bool ended = waiter.WaitFor([&] { return done.load(); });
    if (!ended) camera.ClosePeer();  // lets the reader end, so the test can
    reader.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(result.load(), -1);
}

TEST(TcpConnection, RefusedConnectFails) {
    uint16_t port = 0;
    {
        talvik_test::LoopbackTcpListener closed;
        port = closed.Port();
    }
    CTCPRTSPConnection connection;
    EXPECT_FALSE(connection.Connect(LoopbackParams(port)));
    EXPECT_FALSE(connection.IsOpen());
}

}  // namespace
}  // namespace talvik

// The RTSP client's TCP connection against a loopback listener, on every
// platform's socket seam.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Loopback.h"
#include "rtsp/RTSPConnection.h"

namespace talvik {
namespace {

RTSPConnectionParams LoopbackParams(uint16_t port, uint32_t receiveTimeoutMs = 5000) {
    RTSPConnectionParams params;
    params.host = "127.0.0.1";
    params.port = port;
    params.receiveTimeoutMs = receiveTimeoutMs;
    return params;
}

TEST(TcpConnection, CarriesBytesBothWaysAndSeesThePeerCloseAndARefusal) {
    CTCPRTSPConnection connection;
    uint16_t port = 0;
    {
        talvik_test::LoopbackTcpListener camera;
        ASSERT_NE(port = camera.Port(), 0);
        ASSERT_TRUE(connection.Connect(LoopbackParams(port)));
        ASSERT_TRUE(camera.Accept());
        const std::string request = "OPTIONS rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 1\r\n\r\n";
        EXPECT_EQ(connection.Send(request.data(), request.size()), int(request.size()));
        std::string received;
        ASSERT_TRUE(camera.Receive(&received, request.size()));
        EXPECT_EQ(received, request);
        ASSERT_TRUE(camera.Send("RTSP/1.0 200 OK\r\n"));
        uint8_t buffer[64];
        const int n = connection.Receive(buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size_t(n)), "RTSP/1.0 200 OK\r\n");
        camera.ClosePeer();
        EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 0);
    }
    CTCPRTSPConnection refused;
    EXPECT_FALSE(refused.Connect(LoopbackParams(port)));  // nobody listens there now
    EXPECT_FALSE(refused.IsOpen());
}

// A receive that would wait ten minutes for a silent camera ends when another
// thread interrupts it (the wake-up of the seam).
TEST(TcpConnection, InterruptEndsABlockedReceive) {
    talvik_test::LoopbackTcpListener camera;
    CTCPRTSPConnection connection;
    ASSERT_TRUE(connection.Connect(LoopbackParams(camera.Port(), 600000)));
    ASSERT_TRUE(camera.Accept());
    std::atomic<int> result{1};
    std::thread reader([&] {
        uint8_t buffer[16];
        result = connection.Receive(buffer, sizeof buffer);
    });
    connection.Interrupt();
    const bool ended = talvik_test::WaitUntil([&] { return result.load() != 1; }, 20000);
    if (!ended) camera.ClosePeer();  // lets the reader end, so the test can
    reader.join();
    EXPECT_EQ(result.load(), -1);
}

}  // namespace
}  // namespace talvik

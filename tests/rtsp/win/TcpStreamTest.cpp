// Windows only: the RTSP connection on the Windows TCP stream, whose waits are
// on events the system sets once per change (a refused send, data after the
// last read, the connect's end), against a camera side on plain Winsock.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../Loopback.h"
#include "platform/Sockets.h"
#include "rtsp/RTSPConnection.h"

namespace talvik {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1 and a free port; Accept takes the next
// connection, blocking (the test always connects first).
class Listener {
public:
    Listener() {
        StartNetworkUse();
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof local;
        bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        listen(socket_, 4);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~Listener() {
        closesocket(socket_);
        EndNetworkUse();
    }
    uint16_t Port() const { return port_; }
    SOCKET Accept() { return accept(socket_, nullptr, nullptr); }

private:
    SOCKET socket_ = INVALID_SOCKET;
    uint16_t port_ = 0;
};

bool SendAll(SOCKET s, const std::vector<uint8_t>& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n =
            send(s, reinterpret_cast<const char*>(data.data()) + sent, int(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = uint8_t(seed + i * 7);
    return out;
}

RTSPConnectionParams Params(uint16_t port, uint32_t receiveTimeoutMs, uint32_t sendTimeoutMs) {
    RTSPConnectionParams params;
    params.host = "127.0.0.1";
    params.port = port;
    params.connectTimeoutMs = talvik_test::kWaitLimitMs;
    params.receiveTimeoutMs = receiveTimeoutMs;
    params.sendTimeoutMs = sendTimeoutMs;
    return params;
}

// A refused connect fails at its event, long before the limit.
TEST(TcpStream, RefusedConnectFailsAtOnce) {
    uint16_t closed = 0;
    {
        Listener gone;
        closed = gone.Port();
    }
    CTCPRTSPConnection connection;
    const auto start = Clock::now();
    EXPECT_FALSE(connection.Connect(Params(closed, 1000, 1000)));
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_LT(MsSince(start), talvik_test::kWaitLimitMs / 2);
}

// A burst the camera sends before the reader looks is read whole and in
// order; a piece sent while the reader waits wakes it; the camera's close
// reads as 0.
TEST(TcpStream, BurstThenLatePieceThenClose) {
    Listener camera;
    CTCPRTSPConnection connection;
    ASSERT_TRUE(connection.Connect(Params(camera.Port(), 600000, 1000)));
    const SOCKET peer = camera.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);
    std::vector<uint8_t> sent;
    for (uint8_t i = 0; i < 3; ++i) {
        const std::vector<uint8_t> piece = Pattern(3000, i);
        ASSERT_TRUE(SendAll(peer, piece));
        sent.insert(sent.end(), piece.begin(), piece.end());
    }
    std::vector<uint8_t> read;
    uint8_t buffer[65536];
    while (read.size() < sent.size()) {
        const int n = connection.Receive(buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        read.insert(read.end(), buffer, buffer + n);
    }
    EXPECT_EQ(read, sent);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SendAll(peer, {0xEE});
    });
    EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], 0xEE);
    late.join();
    closesocket(peer);
    EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 0);
}

// A send the camera does not read is refused once the buffers are full and
// gives up after the send limit; once the camera reads, room to send wakes
// the next send, which goes out whole.
TEST(TcpStream, FullSendGivesUpThenResumesWhenRead) {
    Listener camera;
    CTCPRTSPConnection connection;
    ASSERT_TRUE(connection.Connect(Params(camera.Port(), 600000, 300)));
    const SOCKET peer = camera.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);
    const std::vector<char> big(64 << 20, 'x');
    const int first = connection.Send(big.data(), big.size());
    ASSERT_GT(first, 0);
    ASSERT_LT(size_t(first), big.size());
    std::atomic<int64_t> drained{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<char> sink(1 << 16);
        while (!done) {
            const int n = recv(peer, sink.data(), int(sink.size()), 0);
            if (n <= 0) break;
            drained += n;
        }
    });
    // A send that never woke for room would send nothing more; one that
    // gave up while the camera's thread was off the processor is tried again.
    const size_t second = 4 << 20;
    size_t total = 0;
    const auto start = Clock::now();
    while (total < second && MsSince(start) < talvik_test::kWaitLimitMs) {
        const int n = connection.Send(big.data() + total, second - total);
        if (n > 0) total += size_t(n);
    }
    EXPECT_EQ(total, second);
    EXPECT_TRUE(talvik_test::WaitUntil([&] { return drained == int64_t(first) + int64_t(second); },
                                       talvik_test::kWaitLimitMs));
    done = true;
    shutdown(peer, SD_BOTH);
    connection.Close();
    reader.join();
    closesocket(peer);
}

// Interrupt wakes a receive blocked on a silent camera well before its
// limit; later waits are short, until the next Connect.
TEST(TcpStream, InterruptWakesABlockedReceive) {
    Listener camera;
    CTCPRTSPConnection connection;
    ASSERT_TRUE(connection.Connect(Params(camera.Port(), 2 * talvik_test::kWaitLimitMs, 1000)));
    const SOCKET peer = camera.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);
    std::atomic<bool> receiving{false};
    std::thread interrupter([&] {
        talvik_test::WaitUntil([&] { return receiving.load(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        connection.Interrupt();
    });
    uint8_t buffer[16];
    receiving = true;
    const auto start = Clock::now();
    EXPECT_EQ(connection.Receive(buffer, sizeof buffer), -1);
    EXPECT_LT(MsSince(start), talvik_test::kWaitLimitMs);
    interrupter.join();
    const auto again = Clock::now();
    EXPECT_EQ(connection.Receive(buffer, sizeof buffer), -1);
    EXPECT_LT(MsSince(again), talvik_test::kWaitLimitMs);
    closesocket(peer);
    // A new connection waits in full again, and reads what comes.
    ASSERT_TRUE(connection.Connect(Params(camera.Port(), 2 * talvik_test::kWaitLimitMs, 1000)));
    const SOCKET next = camera.Accept();
    ASSERT_NE(next, INVALID_SOCKET);
    ASSERT_TRUE(SendAll(next, {1, 2, 3}));
    EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 3);
    closesocket(next);
}

}  // namespace
}  // namespace talvik

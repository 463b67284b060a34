// Linux only: descriptor numbers are a POSIX matter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "../Loopback.h"
#include "rtsp/UDPClient.h"
#include "support/RecordingLogger.h"

namespace {

struct QuietUser : talvik::IRTPClientUser {
    void OnRTPData(talvik::IRTPClient*, const talvik::IPv4Endpoint&, const uint8_t*,
                   size_t) override {}
    void OnRTPTimeout(talvik::IRTPClient*) override {}
    void OnRTPClientClosed(talvik::IRTPClient*) override {}
};

// A host recording hundreds of cameras holds more than 1024 descriptors,
// beyond what an fd_set can name.
TEST(UdpSocket, ReceivesOnDescriptorAbove1024) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit raised = saved;
    raised.rlim_cur = std::max<rlim_t>(saved.rlim_cur, std::min<rlim_t>(saved.rlim_max, 2048));
    if (raised.rlim_cur < 1100 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
        GTEST_SKIP() << "descriptor limit below 1100";
    // Every free number up to 1050 taken, so the socket lands above.
    const int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<int> fillers;
    for (int fd = 0; fd <= 1050; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && dup2(spare, fd) == fd) fillers.push_back(fd);
    talvik_test::UdpPeer high;
    for (int fd : fillers)
        close(fd);
    close(spare);
    ASSERT_NE(high.Port(), 0);
    std::vector<uint8_t> received;
    ASSERT_TRUE(talvik_test::UdpPeer().SendTo(high.Port(), {1, 2, 3}));
    ASSERT_TRUE(high.Receive(received));
    EXPECT_EQ(received, (std::vector<uint8_t>{1, 2, 3}));
    setrlimit(RLIMIT_NOFILE, &saved);
}

// A system that grants less than the receive buffer asked for is named once
// per open: a frame's burst may then not fit while the thread is held up.
// Linux only: Windows (and Wine) report the size asked for, whatever it is.
TEST(UDPClient, ReceiveBufferBelowTheAskIsLogged) {
    talvik_test::RecordingLogger log;
    QuietUser user;
    talvik::CUDPClient plain(&log);
    ASSERT_TRUE(plain.Open(&user, 0));
    EXPECT_EQ(log.Lines(), std::vector<talvik_test::LogLine>{}) << "65535 bytes are granted";
    talvik::CUDPClient greedy(&log);
    greedy.SetSocketReceiveBuffer(1u << 30);
    ASSERT_TRUE(greedy.Open(&user, 0));
    const std::vector<talvik_test::LogLine> lines = log.Lines();
    // Linux caps the buffer at net.core.rmem_max, far below 1 GiB.
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, uint32_t(talvik::kLevelWarning));
    const std::string head = "talvik::CUDPClient::Open: UDP port " +
                             std::to_string(greedy.GetPort()) +
                             ": the system grants a receive buffer of ";
    const std::string tail = " bytes of the 1073741824 asked for";
    EXPECT_EQ(lines[0].text.substr(0, head.size()), head) << lines[0].text;
    ASSERT_GT(lines[0].text.size(), head.size() + tail.size());
    EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - tail.size()), tail);
}

}  // namespace

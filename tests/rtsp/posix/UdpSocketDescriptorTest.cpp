// Linux only: descriptor numbers are a POSIX matter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "../Loopback.h"

namespace {

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

}  // namespace

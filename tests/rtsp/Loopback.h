// Helpers for the RTP/RTCP socket tests: a plain UDP socket on 127.0.0.1
// playing the camera, and a count of this process's threads.
#pragma once

#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace talvik_test {

// Generous limit for anything a test waits for; never reached when it works.
constexpr int kWaitLimitMs = 20000;

// Bytes from hex digits; anything else (spaces) is skipped.
inline std::vector<uint8_t> Hex(const char* text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (; *text; ++text) {
        const char c = *text;
        const int v = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

// The parts one after another.
inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const std::vector<uint8_t>& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (24 - 8 * i));
}

inline uint32_t Loopback() {
    return htonl(INADDR_LOOPBACK);
}

inline sockaddr_in LoopbackAddress(uint16_t port, uint32_t address = htonl(INADDR_LOOPBACK)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

class UdpPeer {
public:
    explicit UdpPeer(uint32_t address = htonl(INADDR_LOOPBACK)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 1 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in local = LoopbackAddress(0, address);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~UdpPeer() { close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int Fd() const { return fd_; }
    uint16_t Port() const { return port_; }

    bool SendTo(uint16_t port, const std::vector<uint8_t>& data) const {
        const sockaddr_in to = LoopbackAddress(port);
        return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to) == ssize_t(data.size());
    }

    // Next datagram within the wait limit; false on time-out.
    bool Receive(std::vector<uint8_t>& out, int limitMs = kWaitLimitMs) const {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, limitMs) != 1) return false;
        out.resize(65536);
        const ssize_t n = recv(fd_, out.data(), out.size(), 0);
        if (n < 0) return false;
        out.resize(size_t(n));
        return true;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

inline int ThreadCount() {
    // ThreadSanitizer starts a thread of its own with the first thread the
    // program creates: start one first so that it is in every count.
#if defined(__SANITIZE_THREAD__)
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
#endif
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(dir);
    }
    return count;
}

// A joined thread may linger in /proc for a moment after the join.
inline bool WaitForThreadCount(int expected) {
    for (int i = 0; i < kWaitLimitMs / 10; ++i) {
        if (ThreadCount() == expected) return true;
        usleep(10000);
    }
    return false;
}

// Waits until predicate holds (checked whenever Notify is called).
class Waiter {
public:
    template <typename Predicate>
    bool WaitFor(Predicate predicate, int limitMs = kWaitLimitMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(limitMs), predicate);
    }
    void Notify() { changed.notify_all(); }

    std::mutex mutex;
    std::condition_variable changed;
};

}  // namespace talvik_test

// The number of this process's threads, for tests that check that every
// thread they started has ended.
#pragma once

#include <unistd.h>

#include <chrono>
#include <thread>

namespace talvik_test {

// Entries of a directory such as /proc/self/fd, without . and .. (Linux).
int EntryCount(const char* path);
// Threads of this process.
int ThreadCount();

// Polls cond every few milliseconds until it holds; false after limitMs
// (measured on the clock, so that a slow cond does not stretch the limit).
template <typename Cond>
bool WaitUntil(Cond cond, int limitMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        usleep(5000);
    }
    return cond();
}

// A joined thread may linger in /proc for a moment after the join.
inline bool WaitForThreadCount(int expected) {
    return WaitUntil([&] { return ThreadCount() == expected; }, 20000);
}

}  // namespace talvik_test

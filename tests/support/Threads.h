// The number of this process's threads, for tests that check that every
// thread they started has ended.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace talvik_test {

// Entries of a directory such as /proc/self/fd, without . and ..
inline int EntryCount(const char* path) {
    int count = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

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
    return EntryCount("/proc/self/task");
}

// A joined thread may linger in /proc for a moment after the join.
inline bool WaitForThreadCount(int expected) {
    for (int i = 0; i < 2000; ++i) {
        if (ThreadCount() == expected) return true;
        usleep(10000);
    }
    return false;
}

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

}  // namespace talvik_test

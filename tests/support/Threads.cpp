#include "support/Threads.h"

#include <dirent.h>

#include <thread>

namespace talvik_test {

int ThreadCount() {
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

}  // namespace talvik_test

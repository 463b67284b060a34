// The host's operating-system calls on Linux.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "Platform.h"

namespace talvik_host {

const char kModuleFileName[] = "libtalvik_arecont.so";
const char kModuleLoaderName[] = "dlopen";

void* OpenLibrary(const std::string& path, std::string* error) {
    // RTLD_NOW: a module with unresolved symbols fails here, not mid-recording.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        *error = reason ? reason : "unknown error";
    }
    return handle;
}

void* LibrarySymbol(void* library, const char* name) {
    return dlsym(library, name);
}

void CloseLibrary(void* library) {
    dlclose(library);
}

std::string ExecutableDirectory() {
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (length <= 0) return "";
    const std::string path(exe, size_t(length));
    return path.substr(0, path.rfind('/') + 1);
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

bool IsExecutable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

bool MakeDirectories(const std::string& path, std::string* error) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
                *error = "cannot create " + partial + ": " + std::strerror(errno);
                return false;
            }
        }
        if (i < path.size()) partial += path[i];
    }
    return true;
}

bool IsTerminal(FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

void UtcNow(tm* utc, uint32_t* milliseconds) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    gmtime_r(&now.tv_sec, utc);
    *milliseconds = uint32_t(now.tv_nsec / 1000000);
}

namespace {

// Entries of a /proc directory, without "." and "..".
uint32_t CountEntries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return 0;
    uint32_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

namespace {

// Fields of /proc/self/stat: the thread count and the whole address space.
bool ReadStat(uint32_t* threads, uint64_t* addressBytes) {
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[1024];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    // The name in brackets may hold blanks; the fields after it do not.
    const char* at = std::strrchr(text, ')');
    if (at == nullptr) return false;
    unsigned long long values[21] = {};
    int field = 0;
    for (++at; field < 21 && *at != '\0';) {
        while (*at == ' ')
            ++at;
        char* end = nullptr;
        values[field++] = std::strtoull(at, &end, 10);  // the state letter reads as 0
        at = end != at ? end : at + 1;
        while (*at != ' ' && *at != '\0')
            ++at;
    }
    if (field < 21) return false;
    *threads = uint32_t(values[17]);  // field 20
    *addressBytes = values[20];       // field 23
    return true;
}

// Lines "start-end perms offset dev inode [path]": private (p) mappings of
// no file (inode 0): heap, thread stacks and their guards, anonymous memory.
uint64_t PrivateMappingBytes() {
    std::ifstream maps("/proc/self/maps");
    uint64_t privateBytes = 0;
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, perms, offset, device;
        unsigned long long inode = 1;
        fields >> range >> perms >> offset >> device >> inode;
        const size_t dash = range.find('-');
        if (!fields || dash == std::string::npos || perms.size() < 4 || perms[3] != 'p' ||
            inode != 0)
            continue;
        const uint64_t start = std::stoull(range.substr(0, dash), nullptr, 16);
        const uint64_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (end > start) privateBytes += end - start;
    }
    return privateBytes;
}

}  // namespace

ProcessUsage ReadProcessUsage() {
    // A walk of the maps costs about 0.4 ms (a few hundred lines), four times
    // a second: as much CPU as the module spends on ten 1080p pictures. It is
    // walked again only when the address space changed size, as any mapping
    // made or removed changes it.
    static std::mutex mutex;
    static uint64_t walkedAt = 0;  // the size at the last walk
    static uint64_t privateBytes = 0;
    std::lock_guard<std::mutex> guard(mutex);
    ProcessUsage usage;
    uint64_t addressBytes = 0;
    if (!ReadStat(&usage.threads, &addressBytes)) {
        usage.threads = CountEntries("/proc/self/task");
        addressBytes = 0;  // unknown: walk every time
    }
    if (addressBytes == 0 || addressBytes != walkedAt) {
        privateBytes = PrivateMappingBytes();
        walkedAt = addressBytes;
    }
    usage.addressSpaceMb = double(privateBytes) / (1024 * 1024);
    // Less the descriptor that reads the directory.
    const uint32_t fds = CountEntries("/proc/self/fd");
    usage.handles = fds > 0 ? fds - 1 : 0;
    return usage;
}

namespace {

std::atomic<bool>* g_interruptFlag = nullptr;
// Written by the signal handler so that a waiting main loop wakes at once.
int g_interruptPipe[2] = {-1, -1};

void OnInterrupt(int) {
    if (g_interruptFlag != nullptr) g_interruptFlag->store(true);
    if (g_interruptPipe[1] >= 0) {
        const char one = 1;
        const ssize_t written = write(g_interruptPipe[1], &one, 1);
        (void)written;
    }
}

}  // namespace

void CatchInterrupts(std::atomic<bool>* flag) {
    g_interruptFlag = flag;
    if (g_interruptPipe[0] < 0 && pipe2(g_interruptPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        g_interruptPipe[0] = g_interruptPipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void StopCatchingInterrupts() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void WaitForInterrupt(int ms) {
    if (g_interruptPipe[0] < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else {
        pollfd descriptor{g_interruptPipe[0], POLLIN, 0};
        poll(&descriptor, 1, ms);
    }
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                         std::string* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<const char*> argv{path.c_str()};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // The child must not outlive the host, however the host ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(fds[1], STDOUT_FILENO);
        execv(path.c_str(), const_cast<char* const*>(argv.data()));
        std::fprintf(stderr, "talvik-host demo: cannot run %s: %s\n", path.c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;
    output_ = fds[0];
    return true;
}

long ChildProcess::Read(char* buffer, size_t size, int timeoutMs) {
    if (output_ < 0) return 0;
    pollfd p{output_, POLLIN, 0};
    if (timeoutMs <= 0 || poll(&p, 1, timeoutMs) <= 0) return -1;
    const ssize_t n = read(output_, buffer, size);
    return n > 0 ? long(n) : 0;
}

void ChildProcess::CloseOutput() {
    if (output_ >= 0) close(output_);
    output_ = -1;
}

ChildProcess::~ChildProcess() {
    CloseOutput();
    if (pid_ <= 0) return;
    const pid_t pid = pid_t(pid_);
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace talvik_host

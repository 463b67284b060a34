// The operating-system calls of the reference host, one implementation per
// platform (PlatformPosix.cpp, PlatformWin.cpp; CMake picks one), so that the
// commands themselves are the same everywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace talvik_host {

// File name of the driver module on this platform.
extern const char kModuleFileName[];
// How the module is loaded, for the help texts ("dlopen", "LoadLibraryA").
extern const char kModuleLoaderName[];

// A loaded module: null with the reason in error when it cannot be loaded.
void* OpenLibrary(const std::string& path, std::string* error);
// An export by name; null when absent.
void* LibrarySymbol(void* library, const char* name);
void CloseLibrary(void* library);

// Directory of the running executable with its trailing separator; empty when
// unknown.
std::string ExecutableDirectory();
bool FileExists(const std::string& path);
bool IsExecutable(const std::string& path);
// Creates the directory and its missing parents; false with the reason.
bool MakeDirectories(const std::string& path, std::string* error);
bool IsTerminal(FILE* stream);

// The current time in UTC, broken down (tm_wday too), and its milliseconds.
void UtcNow(tm* utc, uint32_t* milliseconds);

// What the process holds, for the summary's peak figures.
struct ProcessUsage {
    // Address space in use by private memory, reserved or committed (heaps,
    // thread stacks; not the images of the executable and its libraries, nor
    // mapped files), in MiB. On Linux: the anonymous private mappings.
    double addressSpaceMb = 0;
    uint32_t threads = 0;
    // Open handles; on Linux open file descriptors.
    uint32_t handles = 0;
};
ProcessUsage ReadProcessUsage();

// Interrupt requests (SIGINT and SIGTERM; on Windows Ctrl+C, Ctrl+Break and
// closing the console) set *flag and wake WaitForInterrupt, until
// StopCatchingInterrupts gives them back their default effect.
void CatchInterrupts(std::atomic<bool>* flag);
void StopCatchingInterrupts();
// Waits up to ms milliseconds; returns at once when an interrupt came.
void WaitForInterrupt(int ms);

// A child process whose standard output the host reads (the demo's camera
// simulator); the destructor ends it, asking first and forcing after 10 s.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::string& path, const std::vector<std::string>& args, std::string* error);
    // Up to size bytes of its output, waiting up to timeoutMs: the count, 0
    // when its output ended, -1 when nothing came in time.
    long Read(char* buffer, size_t size, int timeoutMs);
    // No more reading: later output of the child goes nowhere.
    void CloseOutput();

private:
    long pid_ = -1;
    int output_ = -1;
};

}  // namespace talvik_host

// The host's operating-system calls on Windows.
#include <io.h>
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <cerrno>
#include <cstring>

#include "Platform.h"

namespace talvik_host {

const char kModuleFileName[] = "talvik_arecont.dll";
const char kModuleLoaderName[] = "LoadLibraryA";

namespace {

std::string SystemMessage(DWORD code) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    if (message.empty()) message = "error " + std::to_string(code);
    return message;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

void* OpenLibrary(const std::string& path, std::string* error) {
    // No error boxes: a missing module or dependency is reported, not shown.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(path.c_str());
    const DWORD code = GetLastError();
    SetErrorMode(oldMode);
    if (module == nullptr) *error = path + ": " + SystemMessage(code);
    return reinterpret_cast<void*>(module);
}

void* LibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string ExecutableDirectory() {
    char exe[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "";
    std::string path(exe, length);
    size_t at = path.size();
    while (at > 0 && !IsSeparator(path[at - 1]))
        --at;
    return path.substr(0, at);
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsExecutable(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool MakeDirectories(const std::string& path, std::string* error) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        // A drive ("C:") or the root is not created.
        const bool drive = partial.size() == 2 && partial[1] == ':';
        if ((i == path.size() || IsSeparator(path[i])) && !partial.empty() && !drive &&
            !IsSeparator(partial.back())) {
            if (!CreateDirectoryA(partial.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                *error = "cannot create " + partial + ": " + SystemMessage(GetLastError());
                return false;
            }
        }
        if (i < path.size()) partial += path[i];
    }
    return true;
}

bool IsTerminal(FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

void UtcNow(tm* utc, uint32_t* milliseconds) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    *utc = tm();
    utc->tm_year = now.wYear - 1900;
    utc->tm_mon = now.wMonth - 1;
    utc->tm_mday = now.wDay;
    utc->tm_wday = now.wDayOfWeek;
    utc->tm_hour = now.wHour;
    utc->tm_min = now.wMinute;
    utc->tm_sec = now.wSecond;
    *milliseconds = now.wMilliseconds;
}

namespace {

// The process's handles in the system's handle list (SystemHandleInformation),
// for where GetProcessHandleCount says 0: Wine does not count them.
uint32_t CountHandlesInSystemList() {
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto query = ntdll ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                                   GetProcAddress(ntdll, "NtQuerySystemInformation")))
                             : nullptr;
    if (query == nullptr) return 0;
    struct Entry {
        ULONG process;
        BYTE type;
        BYTE flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = LONG(0xC0000004);
    // The list grows between calls; give up above 64 MiB.
    for (ULONG size = 1 << 20; size <= (64u << 20); size *= 2) {
        std::vector<char> buffer(size);
        ULONG returned = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), size, &returned);
        if (status == kInfoLengthMismatch) continue;
        if (status != 0) return 0;
        ULONG count = 0;
        std::memcpy(&count, buffer.data(), sizeof count);
        const size_t fits = (size - sizeof(ULONG)) / sizeof(Entry);
        if (count > fits) count = ULONG(fits);
        const DWORD self = GetCurrentProcessId();
        uint32_t mine = 0;
        for (ULONG i = 0; i < count; ++i) {
            Entry entry;
            std::memcpy(&entry, buffer.data() + sizeof(ULONG) + i * sizeof(Entry), sizeof entry);
            if (entry.process == self) ++mine;
        }
        return mine;
    }
    return 0;
}

}  // namespace

ProcessUsage ReadProcessUsage() {
    ProcessUsage usage;
    // Every region of the 32-bit address space once: private ones, reserved
    // or committed, count (stacks are reserved whole, committed as they
    // grow). Wine holds most of the space as reserved allocations of its own
    // from which it hands out memory once the free space runs short: under
    // Wine an allocation with no committed page is its pool, not ours.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    uint64_t privateBytes = 0;
    uint64_t allocationBytes = 0;
    bool allocationCommitted = false;
    const void* allocation = nullptr;
    const char* at = nullptr;
    MEMORY_BASIC_INFORMATION region;
    for (;;) {
        const bool more = VirtualQuery(at, &region, sizeof region) == sizeof region;
        const bool counted = more && region.Type == MEM_PRIVATE && region.State != MEM_FREE;
        // Regions of one allocation follow each other.
        if (!counted || region.AllocationBase != allocation) {
            if (allocationCommitted || !wine) privateBytes += allocationBytes;
            allocationBytes = 0;
            allocationCommitted = false;
            allocation = counted ? region.AllocationBase : nullptr;
        }
        if (!more) break;
        if (counted) {
            allocationBytes += region.RegionSize;
            allocationCommitted = allocationCommitted || region.State == MEM_COMMIT;
        }
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    if (allocationCommitted || !wine) privateBytes += allocationBytes;
    usage.addressSpaceMb = double(privateBytes) / (1024 * 1024);
    // The snapshot holds the threads of every process.
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        const DWORD self = GetCurrentProcessId();
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID == self) ++usage.threads;
        }
        CloseHandle(snapshot);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles)) usage.handles = handles;
    if (usage.handles == 0) usage.handles = CountHandlesInSystemList();
    return usage;
}

namespace {

std::atomic<bool>* g_interruptFlag = nullptr;
// Manual reset: once set, every later wait returns at once, as the flag says.
HANDLE g_interruptEvent = nullptr;

// Runs on a thread the system starts for the console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (g_interruptFlag != nullptr) g_interruptFlag->store(true);
            if (g_interruptEvent != nullptr) SetEvent(g_interruptEvent);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void CatchInterrupts(std::atomic<bool>* flag) {
    g_interruptFlag = flag;
    if (g_interruptEvent == nullptr) g_interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

void StopCatchingInterrupts() {
    SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
}

void WaitForInterrupt(int ms) {
    if (g_interruptEvent == nullptr) {
        Sleep(DWORD(ms));
    } else {
        WaitForSingleObject(g_interruptEvent, DWORD(ms));
    }
}

// The only child the host starts is the camera simulator, which runs on
// Linux only.
bool ChildProcess::Start(const std::string&, const std::vector<std::string>&, std::string* error) {
    *error = "runs on Linux only; record from a camera with talvik-host record";
    return false;
}

long ChildProcess::Read(char*, size_t, int) {
    return 0;
}

void ChildProcess::CloseOutput() {}

ChildProcess::~ChildProcess() = default;

}  // namespace talvik_host

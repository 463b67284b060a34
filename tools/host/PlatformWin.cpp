// The host's operating-system calls on Windows.
#include <io.h>
#include <windows.h>

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

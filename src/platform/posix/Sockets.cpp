#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <new>

#include "platform/Sockets.h"

namespace talvik {

uint32_t SystemResolveIPv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return 0;
    uint32_t address = 0;
    for (addrinfo* it = result; it != nullptr; it = it->ai_next) {
        if (it->ai_family == AF_INET && it->ai_addr != nullptr) {
            address = reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(result);
    return address;
}

namespace {

struct LookupStart {
    void (*routine)(void*);
    void* arg;
};

void* LookupMain(void* start) {
    const LookupStart s = *static_cast<LookupStart*>(start);
    delete static_cast<LookupStart*>(start);
    s.routine(s.arg);
    return nullptr;
}

// A look-up thread may still run when the host unloads the module; it cannot
// give back a reference of its own without returning into unloaded code, so
// the first one marks the module as never unloaded.
void PinModule() {
    static std::atomic<bool> pinned{false};
    if (pinned.exchange(true)) return;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PinModule), &info) != 0 && info.dli_fname != nullptr)
        dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace

bool StartLookupThread(void (*routine)(void* arg), void* arg) {
    PinModule();
    auto* start = new (std::nothrow) LookupStart{routine, arg};
    if (start == nullptr) return false;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, &LookupMain, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) delete start;
    return started;
}

// BSD sockets need no start-up.
bool StartNetworkUse() {
    return true;
}

void EndNetworkUse() {}

}  // namespace talvik

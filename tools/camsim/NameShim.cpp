// Preloaded into a client (LD_PRELOAD=libcamsim_names.so) so that a camera can
// be given a host name whose resolution the test controls, without touching
// the system's resolver files: names ending in ".test" are looked up only in
// the file named by CAMSIM_HOSTS ("name address [ms]" lines, read at every
// lookup; ms makes the lookup take that long, as a slow or unreachable name
// server does); a name not listed there does not resolve. Every other name
// goes to the system resolver.
#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

GetAddrInfo SystemGetAddrInfo() {
    static const GetAddrInfo real = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real;
}

bool IsTestName(const char* node) {
    const size_t length = std::strlen(node);
    return length > 5 && std::strcmp(node + length - 5, ".test") == 0;
}

// The listed address of node, empty when not listed; *delayMs: how long the
// lookup takes.
std::string ListedAddress(const char* node, long* delayMs) {
    *delayMs = 0;
    const char* path = std::getenv("CAMSIM_HOSTS");
    if (path == nullptr) return std::string();
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string name, address;
        if (!(words >> name >> address) || name != node) continue;
        if (!(words >> *delayMs)) *delayMs = 0;
        return address;
    }
    return std::string();
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    const GetAddrInfo real = SystemGetAddrInfo();
    if (real == nullptr) return EAI_FAIL;
    if (node == nullptr || !IsTestName(node)) return real(node, service, hints, result);
    long delayMs = 0;
    const std::string address = ListedAddress(node, &delayMs);
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    if (address.empty()) return EAI_NONAME;
    addrinfo numeric = hints != nullptr ? *hints : addrinfo{};
    numeric.ai_flags |= AI_NUMERICHOST;
    return real(address.c_str(), service, &numeric, result);
}

#include "base/Text.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "base/Lock.h"
#include "platform/Sockets.h"

namespace talvik {

std::string GetParamValue(const std::string& text, const std::string& name,
                          const std::string& assign, const std::string& delimiters) {
    if (name.empty() || assign.empty() || delimiters.empty()) return std::string();

    size_t from = 0;
    while (from <= text.size()) {
        const size_t namePos = text.find(name, from);
        if (namePos == std::string::npos) return std::string();

        // The item runs from just after the last delimiter before the name to
        // the first delimiter at or after it.
        const size_t lastDelim =
            namePos == 0 ? std::string::npos : text.find_last_of(delimiters, namePos - 1);
        const size_t itemStart = lastDelim == std::string::npos ? 0 : lastDelim + 1;
        size_t itemEnd = text.find_first_of(delimiters, namePos);
        if (itemEnd == std::string::npos) itemEnd = text.size();

        const size_t assignPos = text.find(assign, namePos);
        if (assignPos == std::string::npos) return std::string();

        if (assignPos + assign.size() <= itemEnd) {
            const std::string itemName = TrimBlanks(text.substr(itemStart, assignPos - itemStart));
            const size_t valueStart = assignPos + assign.size();
            if (itemName == name && valueStart < itemEnd) {
                return text.substr(valueStart, itemEnd - valueStart);
            }
            from = itemEnd;
        } else {
            from = assignPos;
        }
        // Always make progress, even for an item that ends where it starts.
        if (from <= namePos) from = namePos + 1;
    }
    return std::string();
}

std::string FormatStringV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(length));
    return out;
}

std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatStringV(format, args);
    va_end(args);
    return out;
}

std::string TrimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string ToLowerCase(const std::string& text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

uint32_t ParseUnsigned(const std::string& text) {
    // Behaves like a 32-bit strtoul: leading white space and a sign are taken,
    // reading stops at the first non-digit (or NUL), a minus negates modulo 2^32,
    // and an out-of-range magnitude gives the overflow value, which reads as 0.
    const char* p = text.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint64_t magnitude = 0;
    bool digits = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        digits = true;
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
        if (magnitude > 0xFFFFFFFFull) return 0;
    }
    if (!digits) return 0;
    const uint32_t value = static_cast<uint32_t>(magnitude);
    const uint32_t result = negative ? 0u - value : value;
    return result == 0xFFFFFFFFu ? 0 : result;
}

namespace {
std::atomic<HostResolver> g_resolver{nullptr};

// One look-up in flight, shared by its callers and its thread; whoever
// holds it last frees it.
struct NameLookup {
    std::string host;
    HostResolver resolver = nullptr;
    std::atomic<uint32_t> address{0};
    CManualEvent done;
};

// The look-ups in flight by name. Never destroyed: a look-up thread may end
// after the module's statics are gone.
struct LookupsInFlight {
    CLock lock;
    std::map<std::string, std::shared_ptr<NameLookup>> byName;
};
LookupsInFlight& InFlight() {
    static LookupsInFlight* const inFlight = new LookupsInFlight;
    return *inFlight;
}

void RunLookup(void* arg) {
    const std::unique_ptr<std::shared_ptr<NameLookup>> held(
        static_cast<std::shared_ptr<NameLookup>*>(arg));
    NameLookup& lookup = **held;
    lookup.address = lookup.resolver(lookup.host);
    {
        LookupsInFlight& inFlight = InFlight();
        CLockGuard guard(inFlight.lock);
        const auto it = inFlight.byName.find(lookup.host);
        if (it != inFlight.byName.end() && it->second == *held) inFlight.byName.erase(it);
    }
    lookup.done.Set();
}

// The look-up of `host` in flight, started when there is none; null when no
// thread could be started.
std::shared_ptr<NameLookup> JoinLookup(const std::string& host) {
    LookupsInFlight& inFlight = InFlight();
    CLockGuard guard(inFlight.lock);
    const HostResolver resolver = g_resolver.load();
    std::shared_ptr<NameLookup>& entry = inFlight.byName[host];
    if (entry && entry->resolver == (resolver ? resolver : &SystemResolveIPv4)) return entry;
    auto lookup = std::make_shared<NameLookup>();
    lookup->host = host;
    lookup->resolver = resolver ? resolver : &SystemResolveIPv4;
    auto* held = new std::shared_ptr<NameLookup>(lookup);
    if (!StartLookupThread(&RunLookup, held)) {
        delete held;
        if (!entry) inFlight.byName.erase(host);
        return nullptr;
    }
    entry = lookup;
    return lookup;
}

// "a.b.c.d" with four decimal numbers up to 255, in network byte order.
bool ParseDottedAddress(const std::string& text, uint32_t* address) {
    uint8_t bytes[4] = {};
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && (at >= text.size() || text[at++] != '.')) return false;
        uint32_t value = 0;
        size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4; ++at, ++digits)
            value = value * 10 + uint32_t(text[at] - '0');
        // "010" is octal to inet_aton: such texts are left to the resolver.
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[at - digits] == '0'))
            return false;
        bytes[i] = uint8_t(value);
    }
    if (at != text.size()) return false;
    std::memcpy(address, bytes, sizeof bytes);
    return true;
}

}  // namespace

void SetHostResolver(HostResolver resolver) {
    g_resolver = resolver;
}

uint32_t ResolveHostAddress(const std::string& host, CEvent* stop, uint32_t timeoutMs) {
    if (host.empty()) return 0;
    uint32_t address = 0;
    if (ParseDottedAddress(host, &address)) return address;
    // A wait consumes an auto-reset stop event: it is signalled again for the caller.
    if (stop != nullptr && stop->Wait(0)) {
        stop->Set();
        return 0;
    }
    const std::shared_ptr<NameLookup> lookup = JoinLookup(host);
    if (!lookup) return 0;
    CEvent* const waits[] = {&lookup->done, stop};
    const int woken = WaitAny(waits, stop != nullptr ? 2 : 1, timeoutMs);
    if (woken == 1) stop->Set();
    return woken == 0 ? lookup->address.load() : 0;
}

}  // namespace talvik

#include "SocketErrors.h"

#include <winsock2.h>

namespace talvik {

namespace {

struct NamedError {
    int error;
    const char* name;
};

#define TALVIK_NAMED(e) \
    { e, #e }
constexpr NamedError kNamedErrors[] = {
    TALVIK_NAMED(WSAEINTR),           TALVIK_NAMED(WSAEBADF),
    TALVIK_NAMED(WSAEACCES),          TALVIK_NAMED(WSAEFAULT),
    TALVIK_NAMED(WSAEINVAL),          TALVIK_NAMED(WSAEMFILE),
    TALVIK_NAMED(WSAEWOULDBLOCK),     TALVIK_NAMED(WSAEINPROGRESS),
    TALVIK_NAMED(WSAEALREADY),        TALVIK_NAMED(WSAENOTSOCK),
    TALVIK_NAMED(WSAEDESTADDRREQ),    TALVIK_NAMED(WSAEMSGSIZE),
    TALVIK_NAMED(WSAEPROTOTYPE),      TALVIK_NAMED(WSAENOPROTOOPT),
    TALVIK_NAMED(WSAEPROTONOSUPPORT), TALVIK_NAMED(WSAESOCKTNOSUPPORT),
    TALVIK_NAMED(WSAEOPNOTSUPP),      TALVIK_NAMED(WSAEPFNOSUPPORT),
    TALVIK_NAMED(WSAEAFNOSUPPORT),    TALVIK_NAMED(WSAEADDRINUSE),
    TALVIK_NAMED(WSAEADDRNOTAVAIL),   TALVIK_NAMED(WSAENETDOWN),
    TALVIK_NAMED(WSAENETUNREACH),     TALVIK_NAMED(WSAENETRESET),
    TALVIK_NAMED(WSAECONNABORTED),    TALVIK_NAMED(WSAECONNRESET),
    TALVIK_NAMED(WSAENOBUFS),         TALVIK_NAMED(WSAEISCONN),
    TALVIK_NAMED(WSAENOTCONN),        TALVIK_NAMED(WSAESHUTDOWN),
    TALVIK_NAMED(WSAETIMEDOUT),       TALVIK_NAMED(WSAECONNREFUSED),
    TALVIK_NAMED(WSAEHOSTDOWN),       TALVIK_NAMED(WSAEHOSTUNREACH),
    TALVIK_NAMED(WSASYSNOTREADY),     TALVIK_NAMED(WSAVERNOTSUPPORTED),
    TALVIK_NAMED(WSANOTINITIALISED),  TALVIK_NAMED(WSAHOST_NOT_FOUND),
    TALVIK_NAMED(WSATRY_AGAIN),       TALVIK_NAMED(WSANO_RECOVERY),
    TALVIK_NAMED(WSANO_DATA),
};
#undef TALVIK_NAMED

}  // namespace

const char* WinsockErrorName(int error) {
    for (const NamedError& e : kNamedErrors) {
        if (e.error == error) return e.name;
    }
    return nullptr;
}

std::string WinsockErrorText(int error) {
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, DWORD(error), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    std::string out(text, length);
    if (out.empty()) {
        const char* name = WinsockErrorName(error);
        out = name != nullptr ? name : "unknown error";
    }
    return out + " (" + std::to_string(error) + ")";
}

}  // namespace talvik

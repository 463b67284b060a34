// Stand-in until src/platform/win/Sockets.cpp exists: nothing resolves.
#include "platform/Sockets.h"

namespace talvik {

uint32_t SystemResolveIPv4(const std::string&) {
    return 0;
}

}  // namespace talvik

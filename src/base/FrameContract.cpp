#include "base/FrameContract.h"

namespace talvik {

uint32_t ResolutionClass(uint32_t width, uint32_t height) {
    if (width < 200) return 1;
    if (width < 400) return 2;
    // 64-bit so that a huge height cannot wrap the comparison.
    if (width < 1024 && uint64_t(width) > 2 * uint64_t(height)) return 3;
    return 4;
}

std::string StreamName(const std::string& driverName, uint32_t kind) {
    switch (kind) {
        case 0:
            return driverName + "::RecStream";
        case 1:
            return driverName + "::LiveStream";
        case 2:
            return driverName + "::RemoteStream";
        default:
            return driverName;
    }
}

}  // namespace talvik

// Rules shared by every parser that fills host frames: resolution classes and
// stream names.
#pragma once

#include <cstdint>
#include <string>

#include "talvik/HostFrame.h"

namespace talvik {

// 1 below 200 pixels wide, 2 below 400, 3 below 1024 when wider than twice
// the height (a half-height field), otherwise 4.
uint32_t ResolutionClass(uint32_t width, uint32_t height);

// "<driver>::RecStream", "::LiveStream" or "::RemoteStream" by stream kind;
// just the driver name for another kind.
std::string StreamName(const std::string& driverName, uint32_t kind);

}  // namespace talvik

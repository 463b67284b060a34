// Settings documents of any content: every value that comes out respects the
// thresholds, whatever the XML or the queries make of it.
#include <cstdint>
#include <cstdlib>

#include "base/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    talvik::CXMLParser parser;
    if (!parser.LoadFromBuffer(data, size)) return 0;
    talvik::DEVICE_INFO device;
    device.address = "10.0.0.5";
    device.port = 80;
    const talvik::DeviceSettings s = talvik::ReadDeviceSettings(parser, device);
    if (s.RTPMode != 0 && s.RTPMode != 2) std::abort();
    if (s.RTPBlockSize != 0 && s.RTPBlockSize <= 100) std::abort();
    if (s.BitrateMode > 2) std::abort();
    if (s.BitrateMin < 128 || s.BitrateMax < 256) std::abort();
    // Element names taken from the document must not break the query engine.
    parser.GetNodeText(std::string(reinterpret_cast<const char*>(data), size > 64 ? 64 : size));
    parser.Unload();
    return 0;
}

// Settings documents of any content, as the driver of 10.0.0.5:80 reads them:
// every value that comes out respects the thresholds, whatever the XML or the
// queries make of it.
#include "FuzzTarget.h"
#include "base/Settings.h"
#include "base/Text.h"

namespace {

std::string SettingsReader(const Bytes& in) {
    CXMLParser parser;
    if (!parser.LoadFromBuffer(in.data(), in.size())) return "unreadable\n";
    DEVICE_INFO device;
    device.address = "10.0.0.5";
    device.port = 80;
    const DeviceSettings s = ReadDeviceSettings(parser, device);
    FUZZ_CHECK((s.RTPMode == 0 || s.RTPMode == 2) && (s.RTPBlockSize == 0 || s.RTPBlockSize > 100));
    FUZZ_CHECK(s.BitrateMode <= 2 && s.BitrateMin >= 128 && s.BitrateMax >= 256);
    // Element names taken from the document must not break the query engine.
    parser.GetNodeText(std::string(in.begin(), in.begin() + long(std::min<size_t>(in.size(), 64))));
    return FormatString("light=%u log=%u rtp=%u block=%u mode=%u min=%u max=%u\n",
                        s.IndoorLightFrequency, s.LogRtpSequence, s.RTPMode, s.RTPBlockSize,
                        s.BitrateMode, s.BitrateMin, s.BitrateMax);
}

}  // namespace

FUZZ_TARGET(SettingsReader);

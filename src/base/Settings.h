// Per-installation device settings: an optional XML file next to the host
// executable with a "Default" section and optional "Device" sections chosen by
// address and port. Read afresh by every caller; never written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/DeviceInfo.h"
#include "base/Lock.h"
#include "platform/XmlDocument.h"

namespace talvik {

struct DeviceSettings {
    uint32_t IndoorLightFrequency = 0;  // sent to the camera only when 50 or 60
    bool LogRtpSequence = false;
    uint32_t RTPMode = 0;         // 2: RTP interleaved in RTSP; 0: RTP over UDP
    uint32_t RTPBlockSize = 0;    // 0 or above 100
    uint32_t BitrateMode = 1;     // 0 bitrate (CBR), 1 qp (VBR), 2 no quality parameter
    uint32_t BitrateMin = 128;    // 128 or more
    uint32_t BitrateMax = 10240;  // 256 or more
};

// Read-only XML document answering XPath queries ("Configuration/Default/RTPMode",
// "Configuration/Device[@address=\"a\"][@port=\"80\"]"). Loaded once.
class CXMLParser {
public:
    CXMLParser();
    virtual ~CXMLParser();
    CXMLParser(const CXMLParser&) = delete;
    CXMLParser& operator=(const CXMLParser&) = delete;

    // False for an empty path, a missing or unparsable file, or when a
    // document is already loaded.
    bool Load(const std::string& path);
    // Same rules for a document held in memory.
    bool LoadFromBuffer(const void* data, size_t size);
    void Unload();

    // False / empty while nothing is loaded or for an invalid query.
    bool NodeExists(const std::string& path);
    // Value of the first child of the selected node (its text), else empty.
    std::string GetNodeText(const std::string& path);

private:
    bool LoadLocked(const std::string& path, const void* data, size_t size);

    CLock lock_;
    std::unique_ptr<CXmlDocument> document_;
    bool loaded_ = false;
    std::string path_;
};

// Settings for one device from "<hostDirectory>/<driverName>.xml". Never fails:
// a missing or broken file gives the defaults.
DeviceSettings LoadDeviceSettings(const DEVICE_INFO& device, const std::string& hostDirectory,
                                  const std::string& driverName);

// The settings file's path: directory (a "/" added unless present), name, ".xml".
// Empty when the name is empty.
std::string DeviceSettingsPath(const std::string& hostDirectory, const std::string& driverName);

// Reads the settings of `device` from an already loaded parser.
DeviceSettings ReadDeviceSettings(CXMLParser& parser, const DEVICE_INFO& device);

}  // namespace talvik

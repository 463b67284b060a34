#include "base/Settings.h"

#include <cerrno>
#include <cstdio>

#include "ThreadCancel.h"
#include "base/Text.h"

namespace talvik {

namespace {

// The whole text as decimal digits, modulo 2^32; anything else gives 0.
uint32_t ParseDigitsOnly(const std::string& text) {
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10u + uint32_t(c - '0');
    }
    return value;
}

bool Contains(const std::string& text, const char* what) {
    return text.find(what) != std::string::npos;
}

}  // namespace

CXMLParser::CXMLParser() = default;

CXMLParser::~CXMLParser() {
    Unload();
}

bool CXMLParser::Load(const std::string& path) {
    if (path.empty()) return false;
    // Only a file that is really absent is skipped quietly here; any other
    // open failure is left to the parser, which reports it as a failed load.
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fclose(file);
    } else if (errno == ENOENT) {
        return false;
    }
    CLockGuard guard(lock_);
    return LoadLocked(path, nullptr, 0);
}

bool CXMLParser::LoadFromBuffer(const void* data, size_t size) {
    CLockGuard guard(lock_);
    return LoadLocked(std::string(), data, size);
}

bool CXMLParser::LoadLocked(const std::string& path, const void* data, size_t size) {
    if (loaded_) return false;
    try {
        auto document = std::make_unique<CXmlDocument>();
        if (!(data ? document->LoadBuffer(data, size) : document->LoadFile(path))) return false;
        document_ = std::move(document);
        loaded_ = true;
        path_ = path;
        return true;
    } catch (...) {
        RethrowThreadCancellation();
        document_.reset();
        loaded_ = false;
        return false;
    }
}

void CXMLParser::Unload() {
    CLockGuard guard(lock_);
    if (!loaded_) return;
    document_.reset();
    loaded_ = false;
    path_.clear();
}

bool CXMLParser::NodeExists(const std::string& path) {
    CLockGuard guard(lock_);
    if (!loaded_) return false;
    try {
        return document_->NodeExists(path);
    } catch (...) {
        RethrowThreadCancellation();
        return false;  // invalid query
    }
}

std::string CXMLParser::GetNodeText(const std::string& path) {
    CLockGuard guard(lock_);
    if (!loaded_) return std::string();
    try {
        return document_->FirstChildText(path);
    } catch (...) {
        RethrowThreadCancellation();
        return std::string();
    }
}

std::string DeviceSettingsPath(const std::string& hostDirectory, const std::string& driverName) {
    if (driverName.empty()) return std::string();
    std::string path = hostDirectory;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + driverName + ".xml";
}

DeviceSettings ReadDeviceSettings(CXMLParser& parser, const DEVICE_INFO& device) {
    DeviceSettings settings;
    // An address with a double quote cannot be written in the section query
    // (and is no host name); such a device gets the default section.
    std::string section = "Configuration/Default";
    if (device.address.find('"') == std::string::npos) {
        const std::string devicePath =
            FormatString("Configuration/Device[@address=\"%s\"][@port=\"%u\"]",
                         device.address.c_str(), unsigned(device.port));
        if (parser.NodeExists(devicePath)) section = devicePath;
    }

    const std::string lightPath = section + "/IndoorLightFrequency";
    if (parser.NodeExists(lightPath)) {
        settings.IndoorLightFrequency = ParseDigitsOnly(parser.GetNodeText(lightPath));
    }
    const std::string logPath = section + "/LogRtpSequence";
    if (parser.NodeExists(logPath)) {
        settings.LogRtpSequence = ParseUnsigned(parser.GetNodeText(logPath)) == 1;
    }
    settings.RTPMode = Contains(parser.GetNodeText(section + "/RTPMode"), "RTPoverRTSP") ? 2 : 0;

    const uint32_t blockSize = ParseDigitsOnly(parser.GetNodeText(section + "/RTPBlockSize"));
    if (blockSize > 100) settings.RTPBlockSize = blockSize;

    const std::string mode = parser.GetNodeText(section + "/BitrateMode");
    settings.BitrateMode = Contains(mode, "VBR") ? 1 : Contains(mode, "CBR") ? 0 : 2;

    const uint32_t bitrateMin = ParseDigitsOnly(parser.GetNodeText(section + "/BitrateMin"));
    if (bitrateMin >= 128) settings.BitrateMin = bitrateMin;
    const uint32_t bitrateMax = ParseDigitsOnly(parser.GetNodeText(section + "/BitrateMax"));
    if (bitrateMax >= 256) settings.BitrateMax = bitrateMax;
    return settings;
}

DeviceSettings LoadDeviceSettings(const DEVICE_INFO& device, const std::string& hostDirectory,
                                  const std::string& driverName) {
    try {
        const std::string path = DeviceSettingsPath(hostDirectory, driverName);
        if (path.empty()) return DeviceSettings();
        CXMLParser parser;
        if (!parser.Load(path)) return DeviceSettings();
        DeviceSettings settings = ReadDeviceSettings(parser, device);
        parser.Unload();
        return settings;
    } catch (...) {
        RethrowThreadCancellation();
        // Out of memory while reading: nothing sensible to salvage.
        return DeviceSettings();
    }
}

}  // namespace talvik

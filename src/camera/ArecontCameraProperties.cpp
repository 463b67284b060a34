#include "camera/ArecontCameraProperties.h"

#include <cctype>
#include <climits>

#include "base/Text.h"
#include "media/SpsReader.h"

namespace talvik {

namespace {

// Built when the module is loaded, before any query can run.
const std::map<std::string, ModelFrameRates> kModelFrameRateTable = {
    {"20185", {4, 13}},
    {"20365", {4, 13}},
    {"2455", {30, 30}},
    {"3456", {20, 30}},
};

// The sensor formula counts pixel clocks per frame with the sensor's blanking.
constexpr uint32_t kHorizontalBlanking = 341;
constexpr uint32_t kVerticalBlanking = 16;
constexpr uint32_t kClocksPerPixel = 14;
constexpr uint32_t kMaxFrameRate = 30;

}  // namespace

const std::map<std::string, ModelFrameRates>& ModelFrameRateTable() {
    return kModelFrameRateTable;
}

void AddLongFrameIntervalsTo(std::set<uint32_t>& intervals) {
    struct Range {
        uint32_t first, last, step;
    };
    static const Range kRanges[] = {
        {2000, 10000, 1000},        {20000, 50000, 10000},        {120000, 600000, 60000},
        {1200000, 3000000, 600000}, {3600000, 86400000, 3600000},
    };
    for (const Range& range : kRanges) {
        for (uint32_t ms = range.first; ms <= range.last; ms += range.step)
            intervals.insert(ms);
    }
}

int ParseLikeAtoi(const std::string& text) {
    size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    long long value = 0;
    for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos) {
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (text[pos] - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string CameraReplyValue(const std::string& body, const std::string& name) {
    return GetParamValue(body, name, "=", "&\r\n");
}

CArecontCameraProperties::CArecontCameraProperties(const DEVICE_INFO& device,
                                                   uint32_t videoStandard)
    : CBaseCameraProperties(device, videoStandard),
      camera_(std::make_unique<CHttpCameraRequest>(device, nullptr)),
      versionReader_(&ReadHostCoreVersion) {
    defaultFrameRate_ = 5;
}

CArecontCameraProperties::~CArecontCameraProperties() = default;

std::string CArecontCameraProperties::GetCameraValue(const std::string& name) {
    if (name.empty()) return std::string();
    std::string body;
    if (!GetCameraBody(*camera_, "/get?" + name, body)) return std::string();
    return CameraReplyValue(body, name);
}

bool CArecontCameraProperties::HostAtLeast512() const {
    return hostCoreVersion_.major > 5 ||
           (hostCoreVersion_.major == 5 && hostCoreVersion_.minor >= 12);
}

bool CArecontCameraProperties::ReadFromDevice(uint32_t& errorCode) {
    hostCoreVersion_ = versionReader_ ? versionReader_() : HostCoreVersion{};
    errorText_.clear();
    bool ok = ReadModel();
    if (ok && !IsCancelled()) ok = ReadSensorSize();
    if (ok) {
        if (!IsCancelled()) ReadAuxIO();
        if (!IsCancelled()) ReadFirmwareVersion();
        if (!IsCancelled() && HostAtLeast512()) {
            AddLongFrameIntervalsTo(longFrameIntervals_);
            frameIntervalMode_ = 2;
        }
    }
    flag11_ = true;
    flag12_ = true;
    if (!ok) {
        errorCode = 3;
        // Named, so that a wrong password does not read as an unreadable camera.
        const std::string refusal = camera_->DescribeRefusal();
        if (!refusal.empty()) {
            errorCode = 1;
            errorText_ = refusal;
        }
    }
    return ok;
}

bool CArecontCameraProperties::ReadModel() {
    std::string body;
    if (GetCameraBody(*camera_, "/get?model=releasename", body)) {
        deviceModel_ = CameraReplyValue(body, "model");
        if (deviceModel_.empty()) return false;
    } else if (deviceModel_.empty()) {
        return false;  // no earlier model to go on with
    }
    SetVendor("Arecont AV");
    SetModel(deviceModel_);
    AddCodec(3);
    if (deviceModel_.find("313") != std::string::npos) cameraGroup_ = 0;

    // JPEG comes with the models whose number ends in 5 or 6.
    const size_t digits = deviceModel_.find_first_of("0123456789");
    if (digits != std::string::npos) {
        size_t end = deviceModel_.find_first_not_of("0123456789", digits);
        if (end == std::string::npos) end = deviceModel_.size();
        const char last = deviceModel_[end - 1];
        if (last == '5' || last == '6') AddCodec(1);
    }
    channelCount_ = GetCameraValue("channelenable") == "15" ? 4 : 1;
    return true;
}

bool CArecontCameraProperties::ReadSensorSize() {
    const std::string heightText = GetCameraValue("sensorheight");
    const std::string widthText = GetCameraValue("sensorwidth");
    if (heightText.empty() || widthText.empty()) return false;
    const int width = ParseLikeAtoi(widthText);
    int height = ParseLikeAtoi(heightText);
    if (width < 1 || height < 1) return false;
    // No H.264 level has room for such a sensor: a malformed reply, not a size.
    if (width > static_cast<int>(kMaxPictureSide) || height > static_cast<int>(kMaxPictureSide)) {
        errorText_ = FormatString("sensor size %dx%d is beyond %u pixels on a side", width, height,
                                  kMaxPictureSide);
        return false;
    }
    // This sensor delivers 1080 visible lines out of 1088 when cropped.
    if (width == 1920 && height == 1088) {
        flexibleCropping_ = true;
        height = 1080;
    }
    sensorWidth_ = static_cast<uint32_t>(width);
    sensorHeight_ = static_cast<uint32_t>(height);
    AddScaledResolution(sensorWidth_, sensorHeight_, 1);
    AddScaledResolution(sensorWidth_, sensorHeight_, 2);
    return true;
}

uint32_t CArecontCameraProperties::LookupModelFrameRate(uint32_t scale) const {
    for (const auto& entry : ModelFrameRateTable()) {
        if (deviceModel_.find(entry.first) != std::string::npos) {
            return scale == 1 ? entry.second.fullResolution : entry.second.halfResolution;
        }
    }
    return 0;
}

void CArecontCameraProperties::AddScaledResolution(uint32_t width, uint32_t height,
                                                   uint32_t scale) {
    uint32_t limit = LookupModelFrameRate(scale);
    if (limit == 0) {
        const uint32_t channels = channelCount_ != 0 ? channelCount_ : 1;
        const uint32_t clocks = (width / scale + kHorizontalBlanking) *
                                (height / scale + kVerticalBlanking) * channels * kClocksPerPixel;
        limit = kMaxFrameRate;
        if (clocks >= 1000000) {
            limit = 1000 / (clocks / 1000000);
            if (limit >= 29 || limit == 0) limit = kMaxFrameRate;
        }
    }
    if (limit < defaultFrameRate_) defaultFrameRate_ = limit;
    for (uint32_t rate = 1; rate <= limit; ++rate)
        frameRates_.insert(rate);
    const uint16_t w = static_cast<uint16_t>(width / scale);
    const uint16_t h = static_cast<uint16_t>(height / scale);
    const uint32_t interval = limit == 0 ? 0 : IntervalFromRate(limit);
    if (w != 0 && h != 0) AddResolution(ResolutionRecord{w, h, interval});
}

void CArecontCameraProperties::ReadAuxIO() {
    if (!GetCameraValue("auxin").empty()) digitalInputCount_ = 1;
    if (!GetCameraValue("auxout").empty()) digitalOutputCount_ = 1;
}

void CArecontCameraProperties::ReadFirmwareVersion() {
    const std::string version = GetCameraValue("fwversion");
    if (!version.empty()) firmwareVersion_ = version;
}

bool CArecontCameraProperties::WriteCustomProperties(ICapabilityStore* store) {
    if (store == nullptr) return false;
    if (HostAtLeast512()) {
        store->SetCapability(23, 1);
        store->SetCapability(22, 1);
        store->SetCapability(21, 1);
        store->SetCapability(25, 2000);
        store->SetCapability(24, 1);
    }
    return WriteNamedProperty(store, 1, "Video standard", videoStandard_) &&
           WriteNamedProperty(store, 2, "RTSP port", 554u) &&
           WriteNamedProperty(store, 3, "Sensor width", sensorWidth_) &&
           WriteNamedProperty(store, 4, "Sensor height", sensorHeight_) &&
           WriteNamedProperty(store, 5, "Camera group", cameraGroup_) &&
           WriteNamedProperty(store, 6, "Firmware version", firmwareVersion_, true) &&
           WriteNamedProperty(store, 7, "Flexible cropping", flexibleCropping_ ? 1u : 0u);
}

}  // namespace talvik

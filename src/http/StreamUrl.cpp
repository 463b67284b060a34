#include "http/StreamUrl.h"

#include <algorithm>

#include "ThreadCancel.h"
#include "base/Text.h"

namespace talvik {

namespace {

constexpr uint32_t kQpMin = 16;
constexpr uint32_t kQpMax = 36;

// Quality parameter of the query, or empty when the bitrate mode sends none.
std::string QualityParameter(const StreamUrlConfig& config, const STREAM_PARAMS& params,
                             uint32_t kind) {
    const uint32_t mode = config.settings.BitrateMode;
    if (kind == kUrlMjpegStream || kind == kUrlJpegImage) {
        if (mode != 0 && mode != 1) return std::string();
        // The camera's JPEG quality runs from 1 to 20; a quality outside 1..100
        // would otherwise wrap (0) or overshoot.
        const uint32_t quality = std::clamp<uint32_t>(params.quality, 1, 100);
        return FormatString("&quality=%u", (quality - 1) / 5 + 1);
    }
    if (mode == 1) return FormatString("&qp=%u", GetQp(params.quality));
    if (mode == 0) return FormatString("&bitrate=%u", GetBitrate(config, params.quality));
    return std::string();
}

}  // namespace

uint32_t FramesPerSecond(uint32_t frameIntervalMs) {
    if (frameIntervalMs == 0) return 1;
    return uint32_t(1000.0f / float(frameIntervalMs) + 0.5f);
}

uint32_t GetQp(uint32_t quality) {
    const int64_t qp = int64_t(kQpMax) - int64_t(quality) * 20 / 100;
    if (qp < 0) return kQpMax;  // far out of range: treated as no quality given
    return uint32_t(std::clamp<int64_t>(qp, kQpMin, kQpMax));
}

uint32_t GetBitrate(const StreamUrlConfig& config, uint32_t quality) {
    const int64_t low = config.settings.BitrateMin;
    const int64_t high = config.settings.BitrateMax;
    if (quality < 2) return uint32_t(low);
    // 64-bit so that a large quality or a minimum above the maximum cannot wrap.
    const int64_t bitrate = low + (high - low) * int64_t(quality) / 100;
    return uint32_t(std::min(bitrate, high));
}

std::string BuildStreamUrl(const StreamUrlConfig& config, const STREAM_PARAMS& params,
                           uint32_t kind) {
    if (kind > kUrlH264KeyFrame) return std::string();

    // A stream of exactly half the sensor size is the whole sensor scaled down.
    const bool half = config.sensorWidth != 0 && config.sensorHeight != 0 &&
                      params.width == config.sensorWidth / 2 &&
                      params.height == config.sensorHeight / 2;
    const char* mode = half ? "half" : "full";
    const uint32_t x1 = half ? config.sensorWidth : params.width;
    const uint32_t y1 = half ? config.sensorHeight : params.height;

    const std::string quality = QualityParameter(config, params, kind);
    const std::string suffix =
        config.multiSensor ? std::to_string(uint64_t(config.channelIndex) + 1) : std::string();
    const uint32_t fps = FramesPerSecond(params.frameIntervalMs);
    const uint32_t ssn =
        params.codec + 10 * (10 + (half ? 10 : 0) + 100 * config.channelIndex + params.kind);

    switch (kind) {
        case kUrlMjpegStream:
            return FormatString(
                "/mjpeg%s?res=%s&x0=0&y0=0&x1=%u&y1=%u%s&doublescan=0&fps=%u&ssn=%u",
                suffix.c_str(), mode, x1, y1, quality.c_str(), fps, ssn);
        case kUrlH264Rtsp:
            return FormatString(
                "h264.sdp%s?res=%s&x0=0&y0=0&x1=%u&y1=%u%s&doublescan=0&fps=%u&ssn=%u",
                suffix.c_str(), mode, x1, y1, quality.c_str(), fps, ssn);
        case kUrlJpegImage:
            return FormatString("/image%s?res=%s&x0=0&y0=0&x1=%u&y1=%u%s", suffix.c_str(), mode, x1,
                                y1, quality.c_str());
        default:
            return FormatString("/h264f%s?res=%s&x0=0&y0=0&x1=%u&y1=%u%s&Iframe=1", suffix.c_str(),
                                mode, x1, y1, quality.c_str());
    }
}

void EnableCropping(ICameraRequest& camera) {
    try {
        std::string answer;
        if (!GetCameraBody(camera, "/get?cropping", answer)) return;
        const std::string value = GetParamValue(answer, "cropping", "=", "&\r\n");
        if (value.empty() || value.find("on") != std::string::npos) return;
        camera.Get("/set?cropping=on", true);  // the stream opens either way
    } catch (...) {
        RethrowThreadCancellation();
        // Out of memory: the camera keeps its cropping setting.
    }
}

}  // namespace talvik

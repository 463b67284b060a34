// Request paths that open the camera's video: MJPEG stream, single JPEG image,
// H.264 over RTSP and single H.264 key frame. The camera takes resolution mode,
// crop window, frame rate, stream session and quality from the query.
#pragma once

#include <cstdint>
#include <string>

#include "base/DeviceInfo.h"
#include "base/Settings.h"
#include "http/CameraRequest.h"

namespace talvik {

struct StreamUrlConfig {
    uint32_t sensorWidth = 0;   // host parameter 3; 0 when absent
    uint32_t sensorHeight = 0;  // host parameter 4; 0 when absent
    uint32_t channelIndex = 0;  // zero-based video input
    bool multiSensor = false;   // more than one video input: paths get the input suffix
    DeviceSettings settings;
};

enum StreamUrlKind : uint32_t {
    kUrlMjpegStream = 0,
    kUrlH264Rtsp = 1,  // relative to the RTSP base
    kUrlJpegImage = 2,
    kUrlH264KeyFrame = 3,
};

// The path of `kind` for a stream; empty for a kind above 3.
std::string BuildStreamUrl(const StreamUrlConfig& config, const STREAM_PARAMS& params,
                           uint32_t kind);

// Frames per second of the stream paths and the camera's frame-rate register:
// 1 for an interval of 0, otherwise 1000 / interval rounded.
uint32_t FramesPerSecond(uint32_t frameIntervalMs);

// H.264 quantiser for a quality of 1 to 100: 36 down to 16.
uint32_t GetQp(uint32_t quality);

// H.264 bitrate for a quality between the configured minimum and maximum.
uint32_t GetBitrate(const StreamUrlConfig& config, uint32_t quality);

// Switches cropping on when the camera reports it off, so that the crop window
// of the stream paths takes effect.
void EnableCropping(ICameraRequest& camera);

}  // namespace talvik

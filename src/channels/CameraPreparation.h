// What every channel does to the camera before it asks for video, for the
// HTTP and the RTSP channels alike: the stream path settings, the indoor
// light frequency and the cropping switch.
#pragma once

#include <cstdint>

#include "base/Driver.h"
#include "base/Settings.h"
#include "http/CameraRequest.h"
#include "http/StreamUrl.h"

namespace talvik {

// Sensor size from host parameters 3 and 4 (absent or negative: unknown),
// the video input and whether the camera has more than one.
StreamUrlConfig MakeStreamUrlConfig(IDriver& driver, uint32_t videoInput,
                                    const DeviceSettings& settings);

// Sends the indoor light frequency when it is 50 or 60; true when there was
// none to send or the camera accepted it.
bool SendLightFrequency(ICameraRequest& camera, const StreamUrlConfig& config, uint32_t frequency);

// Cropping is switched on when host parameter 7 asks for it.
void EnableCroppingIfAsked(IDriver& driver, ICameraRequest& camera);

}  // namespace talvik

#include "channels/CameraPreparation.h"

#include "base/Text.h"

namespace talvik {

StreamUrlConfig MakeStreamUrlConfig(IDriver& driver, uint32_t videoInput,
                                    const DeviceSettings& settings) {
    StreamUrlConfig config;
    const int32_t sensorWidth = driver.GetParameterInt(3);
    const int32_t sensorHeight = driver.GetParameterInt(4);
    config.sensorWidth = sensorWidth > 0 ? uint32_t(sensorWidth) : 0;
    config.sensorHeight = sensorHeight > 0 ? uint32_t(sensorHeight) : 0;
    config.channelIndex = videoInput;
    config.multiSensor = driver.GetVideoInputCount() > 1;
    config.settings = settings;
    return config;
}

bool SendLightFrequency(ICameraRequest& camera, const StreamUrlConfig& config, uint32_t frequency) {
    if (frequency != 50 && frequency != 60) return true;
    const std::string path =
        config.multiSensor ? FormatString("/set%u?freq=%u", config.channelIndex + 1, frequency)
                           : FormatString("/set?freq=%u", frequency);
    return GetCameraOk(camera, path);
}

void EnableCroppingIfAsked(IDriver& driver, ICameraRequest& camera) {
    if (driver.GetParameterSevenFlag()) EnableCropping(camera);
}

}  // namespace talvik

// Properties of an Arecont camera, read through its "/get?" interface: model,
// sensor size and count, auxiliary input and output, firmware; codecs,
// resolutions and frame rates follow from model and sensor.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/Debug.h"
#include "camera/CameraProperties.h"
#include "http/CameraRequest.h"

namespace talvik {

struct ModelFrameRates {
    uint16_t fullResolution;  // scale 1
    uint16_t halfResolution;  // scale 2: half width and half height
};

// Frame-rate limits of the models whose sensor formula does not hold, keyed
// by a substring of the model text; built when the module is loaded.
const std::map<std::string, ModelFrameRates>& ModelFrameRateTable();

// Long frame intervals, from 2 s to 24 h, that newer hosts offer.
void AddLongFrameIntervalsTo(std::set<uint32_t>& intervals);

class CArecontCameraProperties : public CBaseCameraProperties {
public:
    CArecontCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard);
    ~CArecontCameraProperties() override;

    bool WriteCustomProperties(ICapabilityStore* store) override;
    // Error code 1 with the refusal as the error text when the camera
    // refused the credentials, 3 on any other failure.
    bool ReadFromDevice(uint32_t& errorCode) override;
    std::string GetErrorText() override { return errorText_; }

    // Replaces the camera transport, an HTTP sender of its own (a fake
    // camera in tests).
    void SetCamera(std::unique_ptr<ICameraRequest> camera) {
        if (camera) camera_ = std::move(camera);
    }
    // Replaces the lookup of the host core's version.
    void SetHostCoreVersionReader(std::function<HostCoreVersion()> reader) {
        versionReader_ = std::move(reader);
    }

    uint32_t SensorWidth() const { return sensorWidth_; }
    uint32_t SensorHeight() const { return sensorHeight_; }
    bool FlexibleCropping() const { return flexibleCropping_; }
    uint32_t CameraGroup() const { return cameraGroup_; }
    const std::string& DeviceModel() const { return deviceModel_; }

private:
    bool HostAtLeast512() const;
    bool ReadModel();
    bool ReadSensorSize();
    void ReadAuxIO();
    void ReadFirmwareVersion();
    void AddScaledResolution(uint32_t width, uint32_t height, uint32_t scale);
    uint32_t LookupModelFrameRate(uint32_t scale) const;
    std::string GetCameraValue(const std::string& name);

    std::unique_ptr<ICameraRequest> camera_;
    std::string errorText_;  // of the last ReadFromDevice
    std::function<HostCoreVersion()> versionReader_;
    uint32_t sensorWidth_ = 0;
    uint32_t sensorHeight_ = 0;
    bool flexibleCropping_ = false;
    uint32_t cameraGroup_ = 1;
    std::string deviceModel_;
    HostCoreVersion hostCoreVersion_{0, 0, 0, 0};
};

// Decimal value the way the C library's atoi reads it (leading white space,
// optional sign, digits up to the first other character), clamped to the
// int range instead of overflowing.
int ParseLikeAtoi(const std::string& text);

// Value of `name` in a camera reply "name=value&..." (exact, case-sensitive
// name; value untrimmed up to "&", CR or LF).
std::string CameraReplyValue(const std::string& body, const std::string& name);

}  // namespace talvik

// What a camera is, as a record that is written into the host's capability
// store in a fixed order. Subclasses fill the record from a particular camera
// family; this base holds it and writes it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/DeviceInfo.h"
#include "base/Event.h"
#include "talvik/CapabilityQuery.h"

namespace talvik {

class CAudioCapabilities {
public:
    virtual ~CAudioCapabilities() = default;
    // "Count=%u; IsStereo=%u"
    std::string ToText() const;

    uint32_t Count = 0;  // 0: no audio
    bool IsStereo = false;
};

struct ResolutionRecord {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t minFrameIntervalMs = 0;  // 0: no limit recorded
};

// Frame interval in ms for a rate in frames per second, rounded to nearest;
// 1 for a rate of 0.
uint32_t IntervalFromRate(uint32_t rate);

// Capability ids written into the store.
enum CapabilityId : uint32_t {
    kCapChannelCount = 0,
    kCapFlag1 = 1,
    kCapDigitalInputs = 2,
    kCapDigitalOutputs = 3,
    kCapAudioInputs = 4,
    kCapFlag5 = 5,
    kCapCodec2 = 6,
    kCapCodecH264 = 7,
    kCapCodecJpeg = 8,
    kCapFlag11 = 11,
    kCapFlag12 = 12,
    kCapOptionValue = 13,
    kCapOptionKind1 = 14,
    kCapOptionKind2 = 15,
    kCapOptionEnd = 17,
    kCapFrameIntervalMode = 27,
};

class CBaseCameraProperties {
public:
    CBaseCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard);

    CBaseCameraProperties(const CBaseCameraProperties&) = delete;
    CBaseCameraProperties& operator=(const CBaseCameraProperties&) = delete;

    // Makes a running ReadFromDevice stop before its next camera request.
    // Safe from any thread.
    void Cancel();

    // Writes the whole record; false at the first step that fails (missing
    // model, codec, channel, resolution or frame rate, or a store that hands
    // out no object).
    bool WriteCapabilities(ICapabilityStore* store);

    // Virtual operations, in slot order.
    virtual void OnCancel() {}
    virtual bool WriteFrameIntervals(IFrameIntervalList* list);
    virtual bool WriteCustomProperties(ICapabilityStore* store) = 0;
    virtual ~CBaseCameraProperties() = default;
    // Fills the record from the camera; on failure stores a code in errorCode
    // and returns false.
    virtual bool ReadFromDevice(uint32_t& errorCode) = 0;
    // Extra text for a failed read.
    virtual std::string GetErrorText() { return std::string(); }

    // Record operations.
    void SetVendor(const std::string& vendor);  // ignores an empty text
    void SetModel(const std::string& model);    // ignores an empty text
    void AddCodec(uint32_t codec) { codecs_.insert(codec); }
    // Ignores a record with a zero size; for a known size keeps the smaller
    // non-zero interval (a stored 0 stays).
    void AddResolution(const ResolutionRecord& record);
    void AddResolution(uint16_t width, uint16_t height, uint32_t framesPerSecond);

    const std::string& Vendor() const { return vendor_; }
    const std::string& Model() const { return model_; }
    const std::set<uint32_t>& Codecs() const { return codecs_; }
    const std::vector<ResolutionRecord>& Resolutions() const { return resolutions_; }
    const std::set<uint32_t>& FrameRates() const { return frameRates_; }
    const std::set<uint32_t>& LongFrameIntervals() const { return longFrameIntervals_; }
    uint32_t DefaultFrameRate() const { return defaultFrameRate_; }
    uint32_t ChannelCount() const { return channelCount_; }
    const std::string& FirmwareVersion() const { return firmwareVersion_; }

protected:
    bool IsCancelled() { return cancelEvent_.Wait(0); }

    // Named property `index`: written only for an index above 0 and a
    // non-empty name; an empty value is written as "(none)". False when the
    // store gives no property object.
    bool WriteNamedProperty(ICapabilityStore* store, uint32_t index, const char* name,
                            const std::string& value, bool isText);
    bool WriteNamedProperty(ICapabilityStore* store, uint32_t index, const char* name,
                            uint32_t value);

    std::string vendor_;
    std::string model_;
    CAudioCapabilities audioInput_;
    CAudioCapabilities audioOutput_;
    uint32_t frameIntervalMode_ = 0;
    uint32_t optionKind_ = 0;
    uint32_t optionValue_ = 0;
    bool flag1_ = false;
    bool flag5_ = false;
    bool flag11_ = false;
    bool flag12_ = false;
    DEVICE_INFO deviceInfo_;
    uint32_t videoStandard_;  // non-zero: 30 frames per second as fallback, else 25
    CManualEvent cancelEvent_;
    std::string firmwareVersion_;
    uint32_t digitalInputCount_ = 0;
    uint32_t digitalOutputCount_ = 0;
    uint32_t channelCount_ = 0;
    std::set<uint32_t> codecs_;
    std::vector<ResolutionRecord> resolutions_;  // in insertion order, sizes unique
    std::set<uint32_t> frameRates_;
    std::set<uint32_t> longFrameIntervals_;
    uint32_t defaultFrameRate_ = 0;

private:
    bool WriteConnectionParameters(ICapabilityStore* store);
    bool WriteCodecsAndChannels(ICapabilityStore* store);
    bool WriteResolutions(ICapabilityStore* store);
    bool WriteFlagsIoAndAudio(ICapabilityStore* store);
};

}  // namespace talvik

#include "camera/CameraProperties.h"

#include "base/Text.h"

namespace talvik {

std::string CAudioCapabilities::ToText() const {
    return FormatString("Count=%u; IsStereo=%u", Count, IsStereo ? 1u : 0u);
}

uint32_t IntervalFromRate(uint32_t rate) {
    if (rate == 0) return 1;
    const float asFloat = static_cast<float>(rate);
    return static_cast<uint32_t>(1000.0 / static_cast<double>(asFloat) + 0.5);
}

CBaseCameraProperties::CBaseCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard)
    : deviceInfo_(device), videoStandard_(videoStandard) {}

void CBaseCameraProperties::Cancel() {
    cancelEvent_.Set();
    OnCancel();
}

void CBaseCameraProperties::SetVendor(const std::string& vendor) {
    if (!vendor.empty()) vendor_ = vendor;
}

void CBaseCameraProperties::SetModel(const std::string& model) {
    if (!model.empty()) model_ = model;
}

void CBaseCameraProperties::AddResolution(const ResolutionRecord& record) {
    if (record.width == 0 || record.height == 0) return;
    for (ResolutionRecord& known : resolutions_) {
        if (known.width == record.width && known.height == record.height) {
            if (record.minFrameIntervalMs != 0 &&
                record.minFrameIntervalMs < known.minFrameIntervalMs) {
                known.minFrameIntervalMs = record.minFrameIntervalMs;
            }
            return;
        }
    }
    resolutions_.push_back(record);
}

void CBaseCameraProperties::AddResolution(uint16_t width, uint16_t height,
                                          uint32_t framesPerSecond) {
    const uint32_t interval = framesPerSecond == 0 ? 0 : IntervalFromRate(framesPerSecond);
    AddResolution(ResolutionRecord{width, height, interval});
}

bool CBaseCameraProperties::WriteCapabilities(ICapabilityStore* store) {
    if (store == nullptr) return false;
    if (model_.empty()) return false;
    const std::string name = vendor_.empty() ? model_ : vendor_ + " " + model_;
    store->SetModelName(name.c_str());
    if (!WriteConnectionParameters(store)) return false;
    if (!WriteCodecsAndChannels(store)) return false;
    if (!WriteResolutions(store)) return false;
    if (!WriteFrameIntervals(store->GetFrameIntervalList(1))) return false;
    if (!WriteFlagsIoAndAudio(store)) return false;
    return WriteCustomProperties(store);
}

bool CBaseCameraProperties::WriteConnectionParameters(ICapabilityStore* store) {
    const std::string port = FormatString("%hu", deviceInfo_.port);
    const std::string* values[] = {&deviceInfo_.address, &port, &deviceInfo_.userName,
                                   &deviceInfo_.password};
    for (uint32_t index = 1; index <= 4; ++index) {
        IStoreProperty* parameter = store->GetConnectionParameter(index);
        if (parameter == nullptr) return false;
        parameter->SetValue(values[index - 1]->c_str());
    }
    return true;
}

bool CBaseCameraProperties::WriteCodecsAndChannels(ICapabilityStore* store) {
    if (codecs_.empty()) return false;
    bool known = false;
    for (uint32_t codec : codecs_) {
        switch (codec) {
            case 1:
                store->SetCapability(kCapCodecJpeg, 1);
                break;
            case 2:
                store->SetCapability(kCapCodec2, 1);
                break;
            case 3:
                store->SetCapability(kCapCodecH264, 1);
                break;
            default:
                continue;
        }
        known = true;
    }
    if (!known) return false;
    if (channelCount_ == 0) return false;
    store->SetCapability(kCapChannelCount, channelCount_);
    return true;
}

bool CBaseCameraProperties::WriteResolutions(ICapabilityStore* store) {
    IResolutionList* list = store->GetResolutionList();
    if (list == nullptr || resolutions_.empty()) return false;
    uint32_t fallbackRate = videoStandard_ != 0 ? 30 : 25;
    if (!frameRates_.empty()) fallbackRate = *frameRates_.rbegin();
    const uint32_t fallbackInterval = IntervalFromRate(fallbackRate);
    for (const ResolutionRecord& record : resolutions_) {
        const std::string label = FormatString("%ux%u", record.width, record.height);
        const uint32_t interval =
            record.minFrameIntervalMs != 0 ? record.minFrameIntervalMs : fallbackInterval;
        list->Add(label.c_str(), record.width, record.height, interval);
    }
    return true;
}

bool CBaseCameraProperties::WriteFrameIntervals(IFrameIntervalList* list) {
    if (list == nullptr || frameRates_.empty()) return false;
    for (uint32_t rate : frameRates_) {
        if (rate != 0) list->Add(IntervalFromRate(rate));
    }
    for (uint32_t interval : longFrameIntervals_)
        list->Add(interval);
    uint32_t wanted = defaultFrameRate_;
    if (wanted == 0) wanted = *frameRates_.rbegin() / 2;
    const auto chosen = frameRates_.lower_bound(wanted);
    if (chosen != frameRates_.end() && *chosen != 0) list->SetDefault(IntervalFromRate(*chosen));
    return true;
}

bool CBaseCameraProperties::WriteFlagsIoAndAudio(ICapabilityStore* store) {
    if (flag1_) store->SetCapability(kCapFlag1, 1);
    if (flag5_) store->SetCapability(kCapFlag5, 1);
    store->SetCapability(kCapFlag11, flag11_ ? 1 : 0);
    store->SetCapability(kCapFlag12, flag12_ ? 1 : 0);
    if (digitalInputCount_ != 0) store->SetCapability(kCapDigitalInputs, digitalInputCount_);
    if (digitalOutputCount_ != 0) store->SetCapability(kCapDigitalOutputs, digitalOutputCount_);
    if (optionValue_ != 0 && (optionKind_ == 1 || optionKind_ == 2)) {
        store->SetCapability(kCapOptionValue, optionValue_);
        store->SetCapability(optionKind_ == 1 ? kCapOptionKind1 : kCapOptionKind2, 1);
        store->SetCapability(kCapOptionEnd, 0);
    }
    if (audioInput_.Count != 0) {
        store->SetCapability(kCapAudioInputs, audioInput_.Count);
        if (!WriteNamedProperty(store, 101, "Audio Input Parameters", audioInput_.ToText(), true))
            return false;
    }
    if (audioOutput_.Count != 0 &&
        !WriteNamedProperty(store, 102, "Audio Output Parameters", audioOutput_.ToText(), true)) {
        return false;
    }
    store->SetCapability(kCapFrameIntervalMode, frameIntervalMode_);
    return true;
}

bool CBaseCameraProperties::WriteNamedProperty(ICapabilityStore* store, uint32_t index,
                                               const char* name, const std::string& value,
                                               bool isText) {
    if (index == 0 || name == nullptr || *name == '\0') return true;
    IStoreProperty* property = store->CreateProperty(index);
    if (property == nullptr) return false;
    property->SetName(name);
    property->SetFlags(0);
    property->SetValueIsText(isText ? 1 : 0);
    property->SetValue(value.empty() ? "(none)" : value.c_str());
    return true;
}

bool CBaseCameraProperties::WriteNamedProperty(ICapabilityStore* store, uint32_t index,
                                               const char* name, uint32_t value) {
    return WriteNamedProperty(store, index, name, FormatString("%u", value), false);
}

}  // namespace talvik

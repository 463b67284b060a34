#include "io/ArecontDigitalIO.h"

#include "base/Text.h"
#include "http/HUtils.h"

namespace talvik {

namespace {
const char kAuxInPath[] = "/get?auxin";

class CHttpAuxRequester : public IAuxRequester {
public:
    CHttpAuxRequester(const DEVICE_INFO& device, IDebugMessage* logger) : sender_(device) {
        sender_.SetLogger(logger);
    }

    bool RequestGetIfOk(const std::string& path, std::string& text) override {
        text.clear();
        // The sender forgets a Cancel when a request starts; the flag keeps
        // a stop from being lost just before one.
        if (aborted_.load()) return false;
        return HUtils::RequestGetIfOk(sender_, path, text);
    }
    bool RequestGet(const std::string& path) override {
        if (aborted_.load()) return false;
        return HUtils::RequestGet(sender_, path);
    }
    void Cancel() override {
        aborted_.store(true);
        sender_.Cancel();
    }
    void Rearm() override { aborted_.store(false); }

private:
    Web::CHttpSender sender_;
    std::atomic<bool> aborted_{false};
};

const DEVICE_INFO& DeviceOf(IDriver* driver) {
    static const DEVICE_INFO kNoDevice;
    const DEVICE_INFO* info = driver != nullptr ? driver->GetDeviceInfo() : nullptr;
    return info != nullptr ? *info : kNoDevice;
}
}  // namespace

std::unique_ptr<IAuxRequester> MakeHttpAuxRequester(const DEVICE_INFO& device,
                                                    IDebugMessage* logger) {
    return std::make_unique<CHttpAuxRequester>(device, logger);
}

std::string ParseAuxValue(const std::string& body) {
    return GetParamValue(body, "auxin", "=", "&\r\n");
}

uint32_t AuxValueToState(const std::string& value) {
    if (value.empty()) return kIOStateNone;
    return ToLowerCase(value) == "off" || value == "0" ? kIOStateInactive : kIOStateActive;
}

bool IsNumericAuxValue(const std::string& value) {
    return value == "0" || value == "1";
}

std::string AuxOutPath(uint32_t state, bool numericValues) {
    const bool inactive = state == kIOStateInactive;
    const char* text = numericValues ? (inactive ? "0" : "1") : (inactive ? "off" : "on");
    return FormatString("/set?auxout=%s", text);
}

CArecontDigitalIO::CArecontDigitalIO(IDriver* driver)
    : CArecontDigitalIO(driver, MakeHttpAuxRequester(DeviceOf(driver), driver),
                        MakeHttpAuxRequester(DeviceOf(driver), driver)) {}

CArecontDigitalIO::CArecontDigitalIO(IDriver* driver, std::unique_ptr<IAuxRequester> outputSender,
                                     std::unique_ptr<IAuxRequester> inputSender)
    : CIOBase(driver),
      outputSender_(std::move(outputSender)),
      inputSender_(std::move(inputSender)) {}

CArecontDigitalIO::~CArecontDigitalIO() {
    // The engine's threads use the senders: end them before the senders go.
    ShutdownThreads();
    inputSender_.reset();
    outputSender_.reset();
}

bool CArecontDigitalIO::ProbeNumericValues() {
    std::string body;
    if (inputSender_ == nullptr || !inputSender_->RequestGetIfOk(kAuxInPath, body)) return false;
    return IsNumericAuxValue(ParseAuxValue(body));
}

void CArecontDigitalIO::OnStartIO() {
    if (outputSender_ != nullptr) outputSender_->Rearm();
    if (inputSender_ != nullptr) inputSender_->Rearm();
    if (GetInputCount() != 0) numericValues_.store(ProbeNumericValues());
}

bool CArecontDigitalIO::GetInputStates(uint32_t /*inputCount*/) {
    std::string body;
    if (inputSender_ == nullptr || !inputSender_->RequestGetIfOk(kAuxInPath, body)) return false;
    // A reply that names no value is a failed read: reporting it as a state
    // would raise an alarm the camera never gave.
    const uint32_t state = AuxValueToState(ParseAuxValue(body));
    if (state == kIOStateNone) return false;
    UpdateInputState(0, state);
    return true;
}

bool CArecontDigitalIO::SetOutputState(uint32_t /*index*/, uint32_t state) {
    if (outputSender_ == nullptr) return false;
    return outputSender_->RequestGet(AuxOutPath(state, numericValues_.load()));
}

void CArecontDigitalIO::AbortRequests() {
    if (outputSender_ != nullptr) outputSender_->Cancel();
    if (inputSender_ != nullptr) inputSender_->Cancel();
}

}  // namespace talvik

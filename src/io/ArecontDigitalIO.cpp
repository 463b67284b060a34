#include "io/ArecontDigitalIO.h"

#include "base/Text.h"

namespace talvik {

namespace {
const char kAuxInPath[] = "/get?auxin";

const DEVICE_INFO& DeviceOf(IDriver* driver) {
    static const DEVICE_INFO kNoDevice;
    const DEVICE_INFO* info = driver != nullptr ? driver->GetDeviceInfo() : nullptr;
    return info != nullptr ? *info : kNoDevice;
}

std::unique_ptr<ICameraRequest> MakeSender(IDriver* driver) {
    return std::make_unique<CHttpCameraRequest>(DeviceOf(driver), driver);
}
}  // namespace

std::string ParseAuxValue(const std::string& body) {
    return GetParamValue(body, "auxin", "=", "&\r\n");
}

// Only a number or on/off is a reading: anything else (a garbled or hostile
// answer) would otherwise raise an alarm the camera never gave.
uint32_t AuxValueToState(const std::string& value) {
    const std::string word = ToLowerCase(value);
    if (word == "off" || value == "0") return kIOStateInactive;
    if (word == "on") return kIOStateActive;
    const bool number =
        !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
    return number ? kIOStateActive : kIOStateNone;
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
    : CArecontDigitalIO(driver, MakeSender(driver), MakeSender(driver)) {}

CArecontDigitalIO::CArecontDigitalIO(IDriver* driver, std::unique_ptr<ICameraRequest> outputSender,
                                     std::unique_ptr<ICameraRequest> inputSender)
    : CIOBase(driver),
      outputSender_(std::move(outputSender)),
      inputSender_(std::move(inputSender)) {}

CArecontDigitalIO::~CArecontDigitalIO() {
    // The engine's threads use the senders: end them before the senders go.
    ShutdownThreads();
    inputSender_.reset();
    outputSender_.reset();
}

// Only status 200 with a body is a reading: another 2xx status carries none.
bool CArecontDigitalIO::ReadAuxIn(std::string& body) {
    if (inputSender_ == nullptr) return false;
    CameraReply reply = inputSender_->Get(kAuxInPath, true);
    if (reply.status != 200 || reply.body.empty()) return false;
    body.swap(reply.body);
    return true;
}

bool CArecontDigitalIO::ProbeNumericValues() {
    std::string body;
    return ReadAuxIn(body) && IsNumericAuxValue(ParseAuxValue(body));
}

void CArecontDigitalIO::OnStartIO() {
    if (outputSender_ != nullptr) outputSender_->Rearm();
    if (inputSender_ != nullptr) inputSender_->Rearm();
    if (GetInputCount() != 0) numericValues_.store(ProbeNumericValues());
}

bool CArecontDigitalIO::GetInputStates(uint32_t /*inputCount*/) {
    std::string body;
    if (!ReadAuxIn(body)) return false;
    // A reply that names no value is a failed read: reporting it as a state
    // would raise an alarm the camera never gave.
    const uint32_t state = AuxValueToState(ParseAuxValue(body));
    if (state == kIOStateNone) return false;
    UpdateInputState(0, state);
    return true;
}

bool CArecontDigitalIO::SetOutputState(uint32_t /*index*/, uint32_t state) {
    if (outputSender_ == nullptr) return false;
    return GetCameraOk(*outputSender_, AuxOutPath(state, numericValues_.load()));
}

void CArecontDigitalIO::AbortRequests() {
    if (outputSender_ != nullptr) outputSender_->Cancel();
    if (inputSender_ != nullptr) inputSender_->Cancel();
}

}  // namespace talvik

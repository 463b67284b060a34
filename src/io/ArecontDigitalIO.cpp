#include "io/ArecontDigitalIO.h"

#include "base/Text.h"

namespace talvik {

namespace {
const char kAuxInPath[] = "/get?auxin";
}  // namespace

std::string ParseAuxValue(const std::string& body) {
    return GetParamValue(body, "auxin", "=", "&\r\n");
}

uint32_t AuxValueToState(const std::string& value) {
    return value == "off" || value == "0" ? kIOStateInactive : kIOStateActive;
}

bool IsNumericAuxValue(const std::string& value) {
    return value == "0" || value == "1";
}

std::string AuxOutPath(uint32_t state, bool numericValues) {
    const bool inactive = state == kIOStateInactive;
    const char* text = numericValues ? (inactive ? "0" : "1") : (inactive ? "off" : "on");
    return FormatString("/set?auxout=%s", text);
}

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
    if (GetInputCount() != 0) numericValues_.store(ProbeNumericValues());
}

bool CArecontDigitalIO::GetInputStates(uint32_t /*inputCount*/) {
    std::string body;
    if (inputSender_ == nullptr || !inputSender_->RequestGetIfOk(kAuxInPath, body)) return false;
    UpdateInputState(0, AuxValueToState(ParseAuxValue(body)));
    return true;
}

bool CArecontDigitalIO::SetOutputState(uint32_t /*index*/, uint32_t state) {
    if (outputSender_ == nullptr) return false;
    return outputSender_->SendGet(AuxOutPath(state, numericValues_.load()));
}

void CArecontDigitalIO::AbortRequests() {
    if (outputSender_ != nullptr) outputSender_->Cancel();
    if (inputSender_ != nullptr) inputSender_->Cancel();
}

}  // namespace talvik

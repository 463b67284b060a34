// Digital I/O of an Arecont camera: one input "auxin" and one output "auxout"
// over the camera's get and set paths. At every start the camera's value form
// is probed: "0"/"1" or "off"/"on"; outputs are written in the same form.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "http/CameraRequest.h"
#include "io/IOBase.h"

namespace talvik {

// The value of "auxin" in a reply such as "auxin=on\r\n"; empty when absent.
std::string ParseAuxValue(const std::string& body);
// "off" (in any case) and "0" are inactive, "on" (in any case) and any other
// number active; anything else, the empty text included (no value in the
// reply), is no state at all: kIOStateNone.
uint32_t AuxValueToState(const std::string& value);
// True for exactly "0" or "1".
bool IsNumericAuxValue(const std::string& value);
// The set path for an engine state: state 1 is the inactive form.
std::string AuxOutPath(uint32_t state, bool numericValues);

class CArecontDigitalIO : public CIOBase {
public:
    // Builds both senders from the driver's device description.
    explicit CArecontDigitalIO(IDriver* driver);
    // With the cameras given (null ones fail every request).
    CArecontDigitalIO(IDriver* driver, std::unique_ptr<ICameraRequest> outputSender,
                      std::unique_ptr<ICameraRequest> inputSender);
    ~CArecontDigitalIO() override;

    bool SetOutputState(uint32_t index, uint32_t state) override;
    bool GetInputStates(uint32_t inputCount) override;
    void OnStartIO() override;
    void AbortRequests() override;

    bool NumericValues() const { return numericValues_; }

private:
    bool ReadAuxIn(std::string& body);
    bool ProbeNumericValues();

    // Each thread uses only its own sender: the output thread outputSender,
    // the input thread (and the probe before it starts) inputSender.
    std::unique_ptr<ICameraRequest> outputSender_;
    std::unique_ptr<ICameraRequest> inputSender_;
    std::atomic<bool> numericValues_{false};
};

}  // namespace talvik

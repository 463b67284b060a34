// Digital I/O of an Arecont camera: one input "auxin" and one output "auxout"
// over the camera's get and set paths. At every start the camera's value form
// is probed: "0"/"1" or "off"/"on"; outputs are written in the same form.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "io/IOBase.h"

namespace talvik {

// The two camera requests the digital I/O makes, over one HTTP sender. In the
// module it is a Web::CHttpSender with the HUtils helpers; tests use a fake
// camera.
class IAuxRequester {
public:
    virtual ~IAuxRequester() = default;
    // True only when the camera answered status 200 with a non-empty body,
    // which is then in text (emptied first).
    virtual bool RequestGetIfOk(const std::string& path, std::string& text) = 0;
    // True only when the camera answered with a 2xx status; the body is not
    // read. A refusal (401, 404, 500, ...) means nothing was changed.
    virtual bool RequestGet(const std::string& path) = 0;
    // From another thread: the request in flight fails at once, and so does
    // every later one until Rearm.
    virtual void Cancel() = 0;
    virtual void Rearm() = 0;
};

// The requester of the module: a Web::CHttpSender with the HUtils helpers.
std::unique_ptr<IAuxRequester> MakeHttpAuxRequester(const DEVICE_INFO& device,
                                                    IDebugMessage* logger);

// The value of "auxin" in a reply such as "auxin=on\r\n"; empty when absent.
std::string ParseAuxValue(const std::string& body);
// "off" (in any case) and "0" are inactive, any other value active; the empty
// text (no value in the reply) is no state at all: kIOStateNone.
uint32_t AuxValueToState(const std::string& value);
// True for exactly "0" or "1".
bool IsNumericAuxValue(const std::string& value);
// The set path for an engine state: state 1 is the inactive form.
std::string AuxOutPath(uint32_t state, bool numericValues);

class CArecontDigitalIO : public CIOBase {
public:
    // Builds both senders from the driver's device description.
    explicit CArecontDigitalIO(IDriver* driver);
    // With the requesters given (null ones fail every request).
    CArecontDigitalIO(IDriver* driver, std::unique_ptr<IAuxRequester> outputSender,
                      std::unique_ptr<IAuxRequester> inputSender);
    ~CArecontDigitalIO() override;

    bool SetOutputState(uint32_t index, uint32_t state) override;
    bool GetInputStates(uint32_t inputCount) override;
    void OnStartIO() override;
    void AbortRequests() override;

    bool NumericValues() const { return numericValues_; }

private:
    bool ProbeNumericValues();

    // Each thread uses only its own sender: the output thread outputSender,
    // the input thread (and the probe before it starts) inputSender.
    std::unique_ptr<IAuxRequester> outputSender_;
    std::unique_ptr<IAuxRequester> inputSender_;
    std::atomic<bool> numericValues_{false};
};

}  // namespace talvik

#include "io/IOBase.h"

#include "ThreadCancel.h"
#include "base/Text.h"

namespace talvik {

namespace {
constexpr uint32_t kOutputStopTimeoutMs = 5000;
const char kOutputThreadFormat[] = "Digital Output thread (%s: Device %s:%u)";
const char kInputThreadFormat[] = "Digital Input thread (%s: Device %s:%u)";

struct DeviceAddress {
    std::string address;
    uint16_t port = 0;
};

DeviceAddress AddressOf(IDriver* driver) {
    DeviceAddress out;
    const DEVICE_INFO* info = driver != nullptr ? driver->GetDeviceInfo() : nullptr;
    if (info != nullptr) {
        out.address = info->address;
        out.port = info->port;
    }
    return out;
}
}  // namespace

void CTickThread::Run() {
    if (tickAtStart) OnTick();
    // The pause counts from the end of the previous tick.
    while (!StopRequested(periodMs))
        OnTick();
}

CIOBase::CIOBase(IDriver* driver)
    : driverShare_(driver != nullptr ? driver->Share() : nullptr),
      driver_(driver),
      inputThread_(driver, this, &CIOBase::GetInputStatesWrapper),
      outputThread_(driver, this, &CIOBase::SetOutputStateWrapper) {}

CIOBase::~CIOBase() {
    // Normally already done by the device class; without it the threads would
    // run on into members destroyed before them.
    StopThreads(false);
}

void CIOBase::ShutdownThreads() {
    StopThreads(true);
}

void CIOBase::Retire(const std::shared_ptr<CIOBase>& self) {
    StopThreads(true);
    // The output queue is joined, never left; only the input thread can linger.
    inputThread_.KeepUntilThreadEnds(self);
}

void CIOBase::StopThreads(bool abortRequests) {
    outputThread_.SignalStop();
    inputThread_.SignalStop();
    if (abortRequests) AbortRequests();
    outputThread_.StopQueue(kOutputStopTimeoutMs);
    const DEVICE_INFO* info = driver_ != nullptr ? driver_->GetDeviceInfo() : nullptr;
    inputThread_.StopThread(info != nullptr ? info->timeoutMs : 5000);
}

std::pair<uint32_t, uint32_t> CIOBase::IOCounts() {
    if (driver_ == nullptr) return {0, 0};
    return driver_->GetIOCounts();
}

std::string CIOBase::ThreadName(const char* format) {
    const DeviceAddress device = AddressOf(driver_);
    const std::string driverName = driver_ != nullptr ? driver_->GetDriverName() : std::string();
    return FormatString(format, driverName.c_str(), device.address.c_str(),
                        static_cast<unsigned>(device.port));
}

bool CIOBase::SetCallback(ICaptureIOCallback* callback) {
    if (callback == nullptr) return false;
    callback_.store(callback);
    return true;
}

uint32_t CIOBase::GetInputCount() {
    return IOCounts().first;
}

uint32_t CIOBase::GetOutputCount() {
    return IOCounts().second;
}

bool CIOBase::StartIO() {
    const uint32_t outputCount = GetOutputCount();
    if (started_) {
        // The device hook would share the running threads' requests: refuse
        // as a failed thread start would.
        if (outputCount != 0) LogStartFailed(ThreadName(kOutputThreadFormat));
        if (GetInputCount() != 0) LogStartFailed(ThreadName(kInputThreadFormat));
        return false;
    }
    started_ = true;
    ResetStates();
    OnStartIO();
    bool ok = true;

    if (outputCount != 0) {
        const std::string name = ThreadName(kOutputThreadFormat);
        if (!outputThread_.StartQueue(name)) {
            LogStartFailed(name);
            ok = false;
        } else {
            // Every output starts inactive; a change queued before the first
            // start is applied ahead of these.
            for (uint32_t index = 0; index < outputCount; ++index)
                ChangeOutputState(index, kIOStateInactive);
        }
    }

    if (GetInputCount() != 0) {
        const std::string name = ThreadName(kInputThreadFormat);
        inputThread_.tickAtStart = true;
        if (!inputThread_.StartThread(name)) {
            LogStartFailed(name);
            ok = false;
        }
    }
    return ok;
}

void CIOBase::LogStartFailed(const std::string& threadName) {
    if (driver_ != nullptr)
        driver_->DebugMessage(1, "%s: Starting of %s failed!", "talvik::CIOBase::StartIO",
                              threadName.c_str());
}

bool CIOBase::StopIO() {
    started_ = false;
    outputThread_.SignalStop();
    inputThread_.SignalStop();
    AbortRequests();

    const DeviceAddress device = AddressOf(driver_);
    bool ok = true;
    if (!outputThread_.StopQueue(kOutputStopTimeoutMs)) {
        if (driver_ != nullptr)
            driver_->DebugMessage(1, "%s: Stop Output thread failed! Device %s:%u",
                                  "talvik::CIOBase::StopIO", device.address.c_str(),
                                  static_cast<unsigned>(device.port));
        ok = false;
    }
    const DEVICE_INFO* info = driver_ != nullptr ? driver_->GetDeviceInfo() : nullptr;
    if (!inputThread_.StopThread(info != nullptr ? info->timeoutMs : 5000)) {
        if (driver_ != nullptr)
            driver_->DebugMessage(1, "%s: Stop Input thread failed! Device %s:%u",
                                  "talvik::CIOBase::StopIO", device.address.c_str(),
                                  static_cast<unsigned>(device.port));
        ok = false;
    }
    ResetStates();
    return ok;
}

bool CIOBase::ChangeOutputState(uint32_t index, uint32_t state) {
    return outputThread_.QueueItem(std::make_unique<COutputState>(index, state));
}

void CIOBase::ResetStates() {
    const std::pair<uint32_t, uint32_t> counts = IOCounts();
    CLockGuard guard(lock_);
    outputStates_.clear();
    for (uint32_t index = 0; index < counts.second; ++index)
        outputStates_[index] = kIOStateNone;
    inputStates_.clear();
    for (uint32_t index = 0; index < counts.first; ++index)
        inputStates_[index] = kIOStateNone;
}

void CIOBase::UpdateInputState(uint32_t index, uint32_t state) {
    bool changed = false;
    {
        CLockGuard guard(lock_);
        auto it = inputStates_.find(index);
        if (it != inputStates_.end() && it->second != state) {
            it->second = state;
            changed = true;
        }
    }
    // Once stopped the host hears nothing more: a thread left to end by
    // itself may get here after the stop has returned.
    if (!changed || inputThread_.IsStopping()) return;
    ICaptureIOCallback* callback = callback_.load();
    if (callback == nullptr) return;
    try {
        callback->OnInputStateChanged(index, state);
    } catch (...) {
        RethrowThreadCancellation();
        // The host's exception must not end the polling.
    }
}

void CIOBase::ReportFailure() {
    ResetStates();
    ICaptureIOCallback* callback = callback_.load();
    if (callback == nullptr) return;
    try {
        callback->OnIOFailure();
    } catch (...) {
        RethrowThreadCancellation();
    }
}

void CIOBase::GetInputStatesWrapper() {
    if (GetInputStates(GetInputCount())) {
        reportInputFailure_ = true;
        return;
    }
    // A read cut short by StopIO is our own doing, not the camera's.
    if (inputThread_.IsStopping()) return;
    ReportFailure();
    if (reportInputFailure_) {
        reportInputFailure_ = false;
        const DeviceAddress device = AddressOf(driver_);
        if (driver_ != nullptr)
            driver_->DebugMessage(1, "%s: GetInputStates() method failed! Device %s:%hu",
                                  "talvik::CIOBase::GetInputStatesWrapper", device.address.c_str(),
                                  device.port);
    }
}

bool CIOBase::SetOutputStateWrapper(uint32_t index, uint32_t state) {
    // 0 only marks an unknown state; writing it would drive the output active.
    if (state == kIOStateNone) return true;
    bool change = false;
    {
        CLockGuard guard(lock_);
        auto it = outputStates_.find(index);
        if (it != outputStates_.end() && it->second != state) {
            it->second = state;
            change = true;
        }
    }
    if (!change) return true;

    if (SetOutputState(index, state)) {
        reportOutputFailure_ = true;
        return true;
    }
    // A write cut short by StopIO is our own doing; StopIO resets the states.
    if (outputThread_.IsStopping()) return false;
    ReportFailure();
    if (reportOutputFailure_) {
        reportOutputFailure_ = false;
        const DeviceAddress device = AddressOf(driver_);
        if (driver_ != nullptr)
            driver_->DebugMessage(
                1, "%s: Unable to change output state for device %s:%u (output index %u)",
                "talvik::CIOBase::SetOutputStateWrapper", device.address.c_str(),
                static_cast<unsigned>(device.port), index);
    }
    return false;
}

}  // namespace talvik

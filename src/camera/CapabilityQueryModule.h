// The capability query: reads a camera on a worker thread of its own, writes
// what it found into the host's store and reports the outcome through the
// host's callback. One query per instance.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "base/DeviceInfo.h"
#include "base/Lock.h"
#include "base/SmartPtr.h"
#include "base/Thread.h"
#include "camera/CameraProperties.h"
#include "talvik/CapabilityQuery.h"

namespace talvik {

// Exit code of a worker that an exception ended (or that got no module).
constexpr uint32_t kWorkerFailedExitCode = 0x123456;

class CCapabilityQueryModule : public ipcapture::IIPCapabilityQuery {
public:
    // `callback` must stay valid for the life of the instance.
    CCapabilityQueryModule(ICapabilityQueryCallback* callback, bool videoStandard);
    // Stops a running read and waits for the worker (twice the device time-out).
    ~CCapabilityQueryModule() override;

    CCapabilityQueryModule(const CCapabilityQueryModule&) = delete;
    CCapabilityQueryModule& operator=(const CCapabilityQueryModule&) = delete;

    uint32_t StartQuery(const char* address, uint16_t port, const char* user, const char* password,
                        ICapabilityStore* store) override;
    void StopQuery() override;

    // Exit code of the finished worker: 0, or kWorkerFailedExitCode when an
    // exception ended it; -1 while none has finished.
    int64_t WorkerExitCode() const;

protected:
    // A new properties object for the device, or null.
    virtual CBaseCameraProperties* CreateCameraProperties() = 0;

    // Run by the destructors (the most derived first, so that the worker
    // never sees a half-destroyed object); idempotent.
    void WaitForThreadEnd();

    const DEVICE_INFO& Device() const { return device_; }
    bool VideoStandard() const { return videoStandard_; }

private:
    struct WorkerState;
    TSmartPtr<CBaseCameraProperties> TakePropertiesReference();
    // Body of the worker thread.
    void FetchCapabilities(WorkerState& state);

    bool videoStandard_;
    DEVICE_INFO device_;
    ICapabilityQueryCallback* callback_;
    ICapabilityStore* store_ = nullptr;
    TSmartPtr<CBaseCameraProperties> properties_;
    // Guards only the properties_ member itself, for the moment of taking a
    // reference: StopQuery and the worker must not wait on `lock_`.
    std::mutex propertiesGuard_;
    CLock lock_;
    CThreadRunner thread_;
    // Shared with the worker so that it can report its end even when the
    // instance was deleted from inside the callback.
    std::shared_ptr<WorkerState> worker_;
};

class CArecontCapabilityQueryModule : public CCapabilityQueryModule {
public:
    CArecontCapabilityQueryModule(ICapabilityQueryCallback* callback, bool videoStandard)
        : CCapabilityQueryModule(callback, videoStandard) {}
    ~CArecontCapabilityQueryModule() override;

protected:
    CBaseCameraProperties* CreateCameraProperties() override;
};

// The module-wide query behind the Init/Start/Terminate/Uninit exports.
uint32_t InitModuleQuery(ICapabilityQueryCallback* callback, uint32_t videoStandard);
uint32_t StartModuleQuery(const char* address, uint16_t port, const char* user,
                          const char* password, ICapabilityStore* store);
uint32_t TerminateModuleQuery();
uint32_t UninitModuleQuery();

}  // namespace talvik

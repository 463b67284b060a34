// Common base of every camera channel: owns the capture thread and its stop
// event, keeps the stream parameters and pending changes, tracks the status
// and the camera's online state with their messages, and hands frames and
// signal loss to the host without letting a host exception through.
//
// A transport subclasses it and implements Run (the capture thread's body):
// wait only together with StopEvent(), deliver frames with SendFrameCallback,
// call SetCameraState(true) and SetStatus(kChannelStreaming) while data flows,
// and on a time-out SetStatus(kChannelSignalLost), SendSignalLost and
// SetCameraState(false), then retry until stopped. A subclass calls Stop() in
// its own destructor, so that the body ends before the subclass is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/Driver.h"
#include "base/Event.h"
#include "base/Lock.h"
#include "base/Thread.h"
#include "base/Time.h"
#include "channels/CameraChannel.h"

namespace talvik {

class CBaseCameraChannel : public ICameraChannel {
public:
    CBaseCameraChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
    ~CBaseCameraChannel() override;

    CBaseCameraChannel(const CBaseCameraChannel&) = delete;
    CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

    void ApplyHostOption(uint32_t option) override;
    bool Start(const STREAM_PARAMS* params) override;
    void Stop() override;
    void Retire(const std::shared_ptr<ICameraChannel>& self) override;
    bool UpdateStreamParams(const STREAM_UPDATE& update) override;
    bool Pause() override;
    bool Resume() override;
    uint32_t GetStatus() override;
    void Run() override = 0;
    void OnStopping() override;
    uint32_t GetVideoInput() override;
    IHostFrameSink* GetFrameSink() override;
    void SetFrameTimeListener(IFrameTimeListener* listener) override;

    // "Camera 10.0.0.5" or, with several video inputs, "Video-server 10.0.0.5
    // (channel 1)"; smallFirst writes the first letter in lower case.
    std::string DeviceName(bool smallFirst) const;
    // "(Rec)", "(Live)", "(Remote)" by stream kind; empty for another kind.
    static const char* StreamSuffix(uint32_t kind);

protected:
    void SetStatus(uint32_t status);
    // Writes the online or offline message when the state changes.
    void SetCameraState(bool online);
    bool IsCameraOnline();
    // Hands a frame to the host's sink (or, while paused, only notes its
    // time). False when there is no sink or frame, the host refused it or the
    // sink threw (logged).
    bool SendFrameCallback(IHostFrame* frame);
    // Tells the host's sink and the listener of the lost signal.
    void SendSignalLost();
    // Moves changed pending values into the stream parameters; returns
    // PendingParamBits (0 when nothing changed).
    uint32_t TakePendingParams();
    bool StartThread();
    void StopThread();
    // Stops the transport's own threads for good (Retire); one that outlives
    // its stop gets a share of `self`.
    virtual void StopWorkers(const std::shared_ptr<ICameraChannel>& self);
    // A stop has begun: nothing more goes to the host, as a thread left to
    // end by itself may return into the channel after its stop is over.
    bool Stopping() const { return stopping_.load(std::memory_order_acquire); }

    CManualEvent& StopEvent() { return stopEvent_; }
    // Signalled by UpdateStreamParams; wait on it together with StopEvent().
    CEvent& ParamsChangedEvent() { return paramsChanged_; }
    IDriver* Driver() const { return driver_; }
    // Written by Start and TakePendingParams only; read by the capture thread.
    const STREAM_PARAMS& Params() const { return params_; }
    CTime& LastFrameTime() { return lastFrameTime_; }
    void SetPaused(bool paused) { paused_.store(paused); }
    bool IsPaused() const { return paused_.load(); }

private:
    void ThreadBody();
    void NotifyFrameTime(IHostFrame* frame);
    // Gives back the socket library taken by Start.
    void ReleaseNetwork();

    // First, so it goes last: every member and the subclasses' may still log
    // or read the device record while they are destroyed.
    std::shared_ptr<IDriver> driverShare_;
    bool networkStarted_ = false;
    bool cameraOnline_ = false;  // guarded by statusLock_
    std::atomic<bool> paused_{false};
    std::atomic<bool> stopping_{false};
    CLock statusLock_;
    uint32_t status_ = kChannelStopped;
    CLock threadLock_;
    CThreadRunner thread_;  // guarded by threadLock_
    // A retire that found the capture thread left running hands it the
    // channel's last share; the body takes it when it returns.
    std::mutex retireLock_;
    bool bodyEnded_ = false;                     // under retireLock_
    std::shared_ptr<ICameraChannel> retiredBy_;  // under retireLock_
    IHostFrameSink* sink_;
    std::atomic<IFrameTimeListener*> listener_{nullptr};
    uint32_t videoInput_;
    IDriver* driver_;
    STREAM_PARAMS params_;
    CManualEvent stopEvent_;
    CTime lastFrameTime_;
    CLock paramLock_;
    uint32_t pendingIntervalMs_ = 0;
    uint32_t pendingWidth_ = 0;
    uint32_t pendingHeight_ = 0;
    CEvent paramsChanged_;
};

}  // namespace talvik

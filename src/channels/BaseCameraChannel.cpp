#include "channels/BaseCameraChannel.h"

#include <cctype>

#include "ThreadCancel.h"
#include "base/Text.h"
#include "platform/Sockets.h"

namespace talvik {

namespace {
constexpr uint32_t kDefaultTimeoutMs = 5000;
}  // namespace

CBaseCameraChannel::CBaseCameraChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink)
    : driverShare_(driver != nullptr ? driver->Share() : nullptr),
      sink_(sink),
      videoInput_(videoInput),
      driver_(driver) {
    lastFrameTime_.SetNow();
}

CBaseCameraChannel::~CBaseCameraChannel() {
    // A subclass must stop in its own destructor while its body still exists;
    // this only releases what is left (a no-op when already stopped).
    CBaseCameraChannel::Stop();
}

void CBaseCameraChannel::ApplyHostOption(uint32_t) {}

bool CBaseCameraChannel::Start(const STREAM_PARAMS* params) {
    Stop();
    if (params == nullptr) return false;
    params_ = *params;
    // A failed start still runs the thread: its network calls fail there.
    if (!networkStarted_) networkStarted_ = StartNetworkUse();
    const bool started = StartThread();
    if (!started) ReleaseNetwork();
    return started;
}

void CBaseCameraChannel::Stop() {
    SetStatus(kChannelStopped);
    SetCameraState(false);
    StopThread();
    // The body may have gone online or streaming again while it was being
    // stopped; the channel is stopped now, whatever it last said.
    SetStatus(kChannelStopped);
    SetCameraState(false);
    ReleaseNetwork();
}

void CBaseCameraChannel::Retire(const std::shared_ptr<ICameraChannel>& self) {
    Stop();
    bool lingers = false;
    {
        CLockGuard guard(threadLock_);
        lingers = thread_.Lingers();
    }
    if (lingers) {
        std::lock_guard<std::mutex> guard(retireLock_);
        if (!bodyEnded_) {
            // The capture thread may still be stopping the workers itself
            // (ending a session): it ends them for good when its body
            // returns, so that no two threads stop one worker.
            retiredBy_ = self;
            return;
        }
    }
    StopWorkers(self);
    CLockGuard guard(threadLock_);
    thread_.KeepUntilEnd(self);  // dropped at once unless the capture thread lingers
}

void CBaseCameraChannel::StopWorkers(const std::shared_ptr<ICameraChannel>&) {}

void CBaseCameraChannel::ReleaseNetwork() {
    if (networkStarted_) EndNetworkUse();
    networkStarted_ = false;
}

bool CBaseCameraChannel::UpdateStreamParams(const STREAM_UPDATE& update) {
    {
        CLockGuard guard(paramLock_);
        pendingIntervalMs_ = update.frameIntervalMs;
        pendingWidth_ = update.width;
        pendingHeight_ = update.height;
    }
    paramsChanged_.Set();
    return true;
}

bool CBaseCameraChannel::Pause() {
    return false;
}

bool CBaseCameraChannel::Resume() {
    return false;
}

uint32_t CBaseCameraChannel::GetStatus() {
    CLockGuard guard(statusLock_);
    return status_;
}

void CBaseCameraChannel::OnStopping() {}

uint32_t CBaseCameraChannel::GetVideoInput() {
    return videoInput_;
}

IHostFrameSink* CBaseCameraChannel::GetFrameSink() {
    return sink_;
}

void CBaseCameraChannel::SetFrameTimeListener(IFrameTimeListener* listener) {
    listener_.store(listener);
}

std::string CBaseCameraChannel::DeviceName(bool smallFirst) const {
    const DEVICE_INFO* device = driver_ != nullptr ? driver_->GetDeviceInfo() : nullptr;
    const std::string address = device != nullptr ? device->address : std::string();
    if (driver_ != nullptr && driver_->GetVideoInputCount() > 1) {
        return FormatString(
            smallFirst ? "video-server %s (channel %u)" : "Video-server %s (channel %u)",
            address.c_str(), videoInput_);
    }
    return FormatString(smallFirst ? "camera %s" : "Camera %s", address.c_str());
}

const char* CBaseCameraChannel::StreamSuffix(uint32_t kind) {
    switch (kind) {
        case 0:
            return "(Rec)";
        case 1:
            return "(Live)";
        case 2:
            return "(Remote)";
        default:
            return "";
    }
}

void CBaseCameraChannel::SetStatus(uint32_t status) {
    CLockGuard guard(statusLock_);
    status_ = status;
}

bool CBaseCameraChannel::IsCameraOnline() {
    CLockGuard guard(statusLock_);
    return cameraOnline_;
}

void CBaseCameraChannel::SetCameraState(bool online) {
    uint32_t status = 0;
    {
        CLockGuard guard(statusLock_);
        // Going online once a stop has begun is overruled by the stop anyway.
        if (online && Stopping()) return;
        if (cameraOnline_ == online) return;
        cameraOnline_ = online;
        status = status_;
    }
    if (driver_ == nullptr) return;
    static const char kTag[] = "talvik::CBaseCameraChannel::SetCameraState";
    const char* suffix = StreamSuffix(params_.kind);
    if (online) {
        driver_->DebugMessage(kLevelInfo, "%s: %s is online %s", kTag, DeviceName(false).c_str(),
                              suffix);
    } else if (status == kChannelSignalLost) {
        driver_->DebugMessage(kLevelError, "%s: Signal was lost for %s %s", kTag,
                              DeviceName(true).c_str(), suffix);
    } else if (status == kChannelStopped) {
        driver_->DebugMessage(kLevelInfo, "%s: %s is offline. Channel was stopped %s", kTag,
                              DeviceName(false).c_str(), suffix);
    } else {
        driver_->DebugMessage(kLevelError, "%s: %s is offline or failed %s", kTag,
                              DeviceName(false).c_str(), suffix);
    }
}

bool CBaseCameraChannel::SendFrameCallback(IHostFrame* frame) {
    try {
        if (IsPaused()) {
            if (frame != nullptr) NotifyFrameTime(frame);
            return true;
        }
        if (sink_ == nullptr || frame == nullptr || Stopping()) return false;
        if (!sink_->OnFrame(frame)) return false;
        NotifyFrameTime(frame);
        return true;
    } catch (...) {
        RethrowThreadCancellation();
        if (driver_ != nullptr) {
            driver_->DebugMessage(kLevelError, "%s(): Unexpected exception, device %s",
                                  "talvik::CBaseCameraChannel::SendFrameCallback",
                                  driver_->GetSourceName().c_str());
        }
        return false;
    }
}

void CBaseCameraChannel::NotifyFrameTime(IHostFrame* frame) {
    if (Stopping()) return;
    try {
        IFrameTimeListener* listener = listener_.load();
        if (listener == nullptr) return;
        HostSystemTime hostTime;
        frame->GetTime(&hostTime);
        listener->OnFrameTime(videoInput_, SystemTimeToTime(hostTime));
    } catch (...) {
        RethrowThreadCancellation();
        if (driver_ != nullptr) {
            driver_->DebugMessage(kLevelError,
                                  "%s: Unhandled exception in driver instance for device %s",
                                  "talvik::CBaseCameraChannel::Notify_SendFrameCallback",
                                  driver_->GetSourceName().c_str());
        }
    }
}

void CBaseCameraChannel::SendSignalLost() {
    if (Stopping()) return;
    try {
        if (sink_ != nullptr) sink_->OnSignalLost();
        IFrameTimeListener* listener = listener_.load();
        if (listener != nullptr) listener->OnListenerSignalLost(videoInput_);
    } catch (...) {
        RethrowThreadCancellation();
        if (driver_ != nullptr) {
            driver_->DebugMessage(kLevelError, "%s(): Unexpected exception, device %s",
                                  "talvik::CBaseCameraChannel::SendSignalLost",
                                  driver_->GetSourceName().c_str());
        }
    }
}

uint32_t CBaseCameraChannel::TakePendingParams() {
    CLockGuard guard(paramLock_);
    uint32_t changed = 0;
    if (pendingWidth_ != params_.width || pendingHeight_ != params_.height) {
        params_.width = pendingWidth_;
        params_.height = pendingHeight_;
        changed |= kPendingSize;
    }
    if (pendingIntervalMs_ != params_.frameIntervalMs) {
        params_.frameIntervalMs = pendingIntervalMs_;
        changed |= kPendingInterval;
    }
    return changed;
}

void CBaseCameraChannel::ThreadBody() {
    try {
        Run();
    } catch (...) {
        RethrowThreadCancellation();
        // A body must not end the process; the channel just stops delivering.
        if (driver_ != nullptr) {
            driver_->DebugMessage(kLevelError, "%s(): Unexpected exception, device %s",
                                  "talvik::CBaseCameraChannel::ThreadRoutine",
                                  driver_->GetSourceName().c_str());
        }
    }
    std::shared_ptr<ICameraChannel> self;
    {
        std::lock_guard<std::mutex> guard(retireLock_);
        bodyEnded_ = true;
        self = std::move(retiredBy_);
    }
    if (!self) return;
    // Retired while this thread was left running: the final stop is ours.
    StopWorkers(self);
    CLockGuard guard(threadLock_);
    thread_.KeepUntilEnd(self);  // the channel goes after this thread's end at the earliest
}

bool CBaseCameraChannel::StartThread() {
    if (!threadLock_.TryLock()) return false;
    bool started = false;
    // A capture thread that a stop left running still runs this channel's body.
    if (!thread_.HasThread() && !thread_.Lingers()) {
        {
            std::lock_guard<std::mutex> guard(retireLock_);
            bodyEnded_ = false;
        }
        stopEvent_.Reset();
        stopping_.store(false, std::memory_order_release);
        started = thread_.Start([this] { ThreadBody(); });
        if (!started && driver_ != nullptr) {
            driver_->DebugMessage(
                kLevelError, "%s: Video capture thread for %s could not be started",
                "talvik::CBaseCameraChannel::StartThread", DeviceName(true).c_str());
        }
    }
    threadLock_.Unlock();
    return started;
}

void CBaseCameraChannel::StopThread() {
    stopping_.store(true, std::memory_order_release);
    stopEvent_.Set();
    CLockGuard guard(threadLock_);
    if (!thread_.HasThread()) return;
    OnStopping();
    // The capture thread stopping itself cannot wait for itself; its handle
    // stays for the next stop from outside.
    if (thread_.CalledFromOwnThread()) return;
    const DEVICE_INFO* device = driver_ != nullptr ? driver_->GetDeviceInfo() : nullptr;
    const uint32_t timeoutMs = device != nullptr ? device->timeoutMs : kDefaultTimeoutMs;
    const uint64_t limitMs = 2 * uint64_t(timeoutMs);
    thread_.Stop(limitMs > UINT32_MAX - 1 ? UINT32_MAX - 1 : uint32_t(limitMs), [&] {
        if (driver_ == nullptr) return;
        driver_->DebugMessage(
            kLevelWarning,
            "%s: Video capture thread for %s cannot be stopped and is left to end by itself",
            "talvik::CBaseCameraChannel::StopThread", DeviceName(true).c_str());
    });
}

}  // namespace talvik

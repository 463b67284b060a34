// A camera channel carries one stream of one video input to the host. The
// video capture object owns it; the host's threads call these operations, the
// channel's capture thread runs Run.
#pragma once

#include <cstdint>
#include <memory>

#include "base/DeviceInfo.h"
#include "talvik/HostFrame.h"

namespace talvik {

enum ChannelStatus : uint32_t {
    kChannelStreaming = 0,
    kChannelSignalLost = 2,
    kChannelStopped = 3,  // every other value means failed
};

// A new size and frame interval for a running stream.
struct STREAM_UPDATE {
    uint32_t frameIntervalMs = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Bits returned by TakePendingParams.
enum PendingParamBits : uint32_t {
    kPendingInterval = 1,
    kPendingSize = 2,
};

class ICameraChannel {
public:
    // Stops the channel first.
    virtual ~ICameraChannel() = default;
    // A host option from the stream settings; every channel here ignores it.
    virtual void ApplyHostOption(uint32_t option) = 0;
    // Stops whatever runs, copies params and starts the capture thread; false
    // when the thread cannot start.
    virtual bool Start(const STREAM_PARAMS* params) = 0;
    // Status 3, offline message, capture thread ended (or, past its limit,
    // left to end by itself).
    virtual void Stop() = 0;
    // The owner's last act before it lets go of `self`, its share of the
    // channel: stops every thread of the channel, and one that outlives its
    // stop takes a share, so that the channel goes with the last of them.
    virtual void Retire(const std::shared_ptr<ICameraChannel>& /*self*/) { Stop(); }
    // Queues a new size and interval for the body to pick up.
    virtual bool UpdateStreamParams(const STREAM_UPDATE& update) = 0;
    virtual bool Pause() = 0;
    virtual bool Resume() = 0;
    virtual uint32_t GetStatus() = 0;  // ChannelStatus
    // The capture thread's body: must return soon after the stop event.
    virtual void Run() = 0;
    // Called by StopThread before it waits for the capture thread.
    virtual void OnStopping() = 0;
    virtual uint32_t GetVideoInput() = 0;
    virtual IHostFrameSink* GetFrameSink() = 0;
    virtual void SetFrameTimeListener(IFrameTimeListener* listener) = 0;
};

// A second channel that may accompany a recording stream. No driver of this
// module makes one; the video capture object still handles it.
class IAuxiliaryChannel {
public:
    virtual ~IAuxiliaryChannel() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
};

}  // namespace talvik

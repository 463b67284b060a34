// How the video capture object asks the driver for channels.
#pragma once

#include <cstdint>

#include "base/DeviceInfo.h"
#include "talvik/HostFrame.h"

namespace talvik {

class ICameraChannel;
class IAuxiliaryChannel;

// Makes the channel that serves a stream; the caller owns the result.
class IVideoChannelCreator {
public:
    virtual ~IVideoChannelCreator() = default;
    // Null for a null sink, a codec that is not served or a missing channel
    // class. Replaces a codec of 0 or 16 in *params by the driver's default.
    virtual ICameraChannel* CreateVideoChannel(uint32_t videoInput, IHostFrameSink* sink,
                                               STREAM_PARAMS* params) = 0;
    virtual IAuxiliaryChannel* CreateAuxiliaryChannel(uint32_t videoInput,
                                                      IHostFrameSink* sink) = 0;
};

}  // namespace talvik

// One factory per channel class, so that the driver's choice of channel and
// the classes themselves can grow independently. Each returns a new channel
// owned by the caller, or null when the class is not available or cannot be
// allocated. The caller starts it later with the stream's STREAM_PARAMS.
//
// Adding a channel class: derive it from CBaseCameraChannel (through the HTTP
// or RTP bases), implement Run and call Stop() in its destructor; then make
// its factory here return `new (std::nothrow) CJpegHttpChannel(videoInput,
// driver, sink)` (best moved into the class's own .cpp, deleting the stub
// file). CIPCaptureDriver::CreateVideoChannel picks the factory through
// ChooseChannelKind (codec and frame interval); a new kind of channel adds a
// ChannelKind value and a case in CIPCaptureDriver::NewChannel.
#pragma once

#include <cstdint>

#include "base/Driver.h"
#include "channels/CameraChannel.h"

namespace talvik {

// Motion-JPEG and single JPEG pictures over HTTP.
ICameraChannel* CreateJpegHttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
// Single H.264 key frames over HTTP, for frame intervals above one second.
ICameraChannel* CreateH264HttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
// H.264 over RTSP.
ICameraChannel* CreateH264RtspChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);

}  // namespace talvik

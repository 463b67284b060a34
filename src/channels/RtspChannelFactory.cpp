#include "channels/ChannelFactory.h"

namespace talvik {

// The RTSP channel class is not part of the module yet: starting such a
// stream fails cleanly.
ICameraChannel* CreateH264RtspChannel(uint32_t, IDriver*, IHostFrameSink*) {
    return nullptr;
}

}  // namespace talvik

#include "channels/ChannelFactory.h"

namespace talvik {

// The HTTP channel classes are not part of the module yet: starting such a
// stream fails cleanly.
ICameraChannel* CreateJpegHttpChannel(uint32_t, IDriver*, IHostFrameSink*) {
    return nullptr;
}

ICameraChannel* CreateH264HttpChannel(uint32_t, IDriver*, IHostFrameSink*) {
    return nullptr;
}

}  // namespace talvik

#include "ThreadCancel.h"
#include "channels/ChannelFactory.h"
#include "channels/RtspChannels.h"

namespace talvik {

// The channel allocates its sender, receiver and client while it is built:
// any failure there is a failed creation, never an exception for the host.
ICameraChannel* CreateH264RtspChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink) {
    try {
        return new CH264ChannelRTSP(videoInput, driver, sink);
    } catch (...) {
        RethrowThreadCancellation();
        return nullptr;
    }
}

}  // namespace talvik

#include "ThreadCancel.h"
#include "channels/ChannelFactory.h"
#include "channels/HttpChannels.h"

namespace talvik {

// A channel allocates its sender and parser while it is built: any failure
// there is a failed creation, never an exception for the host.
ICameraChannel* CreateJpegHttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink) {
    try {
        return new CJpegHttpChannel(videoInput, driver, sink);
    } catch (...) {
        RethrowThreadCancellation();
        return nullptr;
    }
}

ICameraChannel* CreateH264HttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink) {
    try {
        return new CH264HttpChannel(videoInput, driver, sink);
    } catch (...) {
        RethrowThreadCancellation();
        return nullptr;
    }
}

}  // namespace talvik

// Single RTP packets as they arrive in datagrams or interleaved frames.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "rtsp/RTPPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    talvik::CRTPPacket packet;
    if (packet.Parse(data, size)) {
        // Everything the packet claims must lie within what was given.
        const size_t claimed = 12 + packet.csrcList.size() +
                               (packet.extensionData.empty() && packet.extensionLength == 0
                                    ? 0
                                    : 4 + packet.extensionData.size()) +
                               packet.payload.size();
        if (claimed > size || packet.payload.size() != packet.payloadLength ||
            packet.csrcList.size() != packet.csrcCount * 4 ||
            packet.extensionData.size() != packet.extensionLength * 4u) {
            std::abort();
        }
    }
    return 0;
}

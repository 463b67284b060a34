// The byte stream of an RTSP connection after PLAY: answers and interleaved
// frames. The first byte is the chunk size used to feed the rest (0 feeds it
// whole), so that splits at every position are explored.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "rtsp/RTPPacket.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPStreamParser.h"

namespace {

class CountingUser : public talvik::IRTSPClientUser {
public:
    bool OnRTSPSessionReady(talvik::RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(talvik::CRTPPacket* packet) override {
        if (packet->payload.size() > 65535) std::abort();
        ++packets;
    }
    void OnRTSPClientStopped() override {}
    size_t packets = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = data[0] == 0 ? size : data[0];
    CountingUser user;
    talvik::CRTSPStreamParser parser(&user, 0, 2);
    for (size_t pos = 1; pos < size; pos += chunk) {
        parser.Feed(data + pos, std::min(chunk, size - pos));
    }
    // Every delivered frame needs at least its 4-byte header and 13 packet bytes.
    if (user.packets * 17 > size) std::abort();
    return 0;
}

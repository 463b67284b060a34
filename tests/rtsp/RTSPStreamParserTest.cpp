// Splits of the stream the corpus replay cannot list.
#include "rtsp/RTSPStreamParser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "rtsp/RTSPClientUser.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;

class RecordingUser : public IRTSPClientUser {
public:
    bool OnRTSPSessionReady(RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(CRTPPacket* packet) override {
        packets.emplace_back(packet->sequenceNumber, packet->payload);
    }
    void OnRTSPClientStopped() override {}
    std::vector<std::pair<uint16_t, Bytes>> packets;
};

// Answers and two frames on channels 0 and 2, with '$' in a payload.
TEST(RTSPStreamParser, EveryTwoAndThreeWaySplitDeliversBothFramesOnce) {
    const std::string seed =
        test::ReadFile(TALVIK_SOURCE_DIR "/fuzz/corpus/interleaved/two_frames_with_text");
    const Bytes stream(seed.begin() + 1, seed.end());
    const std::vector<std::pair<uint16_t, Bytes>> expected = {
        {100, {0x65, 0x88, 0x84, '$', 0x00, 0x21}}, {101, {0x41, 0x9A, 0x02}}};
    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); ++b) {
            RecordingUser user;
            CRTSPStreamParser parser(&user, 0, 2);
            parser.Feed(stream.data(), a);
            parser.Feed(stream.data() + a, b - a);
            parser.Feed(stream.data() + b, stream.size() - b);
            ASSERT_EQ(expected, user.packets) << "split at " << a << " and " << b;
        }
    }
}

}  // namespace
}  // namespace talvik

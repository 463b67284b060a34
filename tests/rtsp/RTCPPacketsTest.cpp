// Compound walks and sender reports are in the rtcp_compound corpus replay.
#include "rtsp/RTCPPackets.h"

#include <gtest/gtest.h>

namespace talvik {
namespace {

// In units of 1/65536 s: none before an SR, across the millisecond counter's
// wrap, and saturated when ancient.
TEST(RTCPPackets, DelaySinceLastSr) {
    const uint32_t cases[][3] = {
        {5000, 0, 0}, {2000, 1000, 65536}, {5, 0xFFFFFFFBu, 655}, {0, 1, 0xFFFFFFFFu}};
    for (const auto& c : cases)
        EXPECT_EQ(rtcp::DelaySinceLastSr(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    EXPECT_EQ(rtcp::WalkCompound(nullptr, 100, [](const rtcp::PacketView&) { FAIL(); }), 0u);
}

}  // namespace
}  // namespace talvik

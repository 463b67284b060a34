// Compound walks and sender reports are in the rtcp_compound corpus replay.
#include "rtsp/RTCPPackets.h"

#include <gtest/gtest.h>

#include <string>

namespace talvik {
namespace {

struct DelayCase {
    const char* name;
    uint32_t nowMs;
    uint32_t arrivalMs;
    uint32_t expected;
};

class DelaySinceLastSrTest : public ::testing::TestWithParam<DelayCase> {};

TEST_P(DelaySinceLastSrTest, InUnitsOf65536thSecond) {
    EXPECT_EQ(rtcp::DelaySinceLastSr(GetParam().nowMs, GetParam().arrivalMs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DelaySinceLastSrTest,
                         ::testing::Values(DelayCase{"NoSrYet", 5000, 0, 0},
                                           DelayCase{"OneSecond", 2000, 1000, 65536},
                                           DelayCase{"CounterWrapped", 5, 0xFFFFFFFBu, 655},
                                           DelayCase{"AncientSaturates", 0, 1, 0xFFFFFFFFu}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RTCPPackets, WalkOfNullDataVisitsNothing) {
    EXPECT_EQ(rtcp::WalkCompound(nullptr, 100, [](const rtcp::PacketView&) { FAIL(); }), 0u);
}

}  // namespace
}  // namespace talvik

#include "rtsp/SDPResponseParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(SDPResponseParser, VideoSectionFillsSlotAndParameterSets) {
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseDescription(
        "v=0\r\no=- 0 0 IN IP4 10.0.0.5\r\ns=Stream\r\nc=IN IP4 239.1.2.3/16\r\nt=0 0\r\n"
        "m=video 0 RTP/AVP 96\r\n"
        "a=rtpmap:96 H264/90000\r\n"
        "a=fmtp:96 packetization-mode=1; profile-level-id=4D0028; "
        "sprop-parameter-sets=Z01AKJWgFAFuQA==,aO48gA==\r\n"
        "a=control:rtsp://10.0.0.5/h264.sdp/trackID=1\r\n"));
    const SDPDescription& d = parser.GetDescription();
    const RTSPMediaInfo& video = d.media[kVideoSlot];
    EXPECT_EQ(96, video.payloadType);
    EXPECT_EQ("H264/90000", video.encoding);
    EXPECT_EQ("rtsp://10.0.0.5/h264.sdp/trackID=1", video.control);
    ASSERT_EQ(1u, d.parameterSets.size());
    EXPECT_EQ(96, d.parameterSets[0].payloadType);
    EXPECT_EQ((Bytes{0x67, 0x4D, 0x40, 0x28, 0x95, 0xA0, 0x14, 0x01, 0x6E, 0x40}),
              d.parameterSets[0].sps);
    EXPECT_EQ((Bytes{0x68, 0xEE, 0x3C, 0x80}), d.parameterSets[0].pps);
}

struct ParameterSetCase {
    const char* name;
    std::string fmtp;
    size_t entries;
    int32_t payloadType;
    size_t spsSize;
    size_t ppsSize;
};

class SpropParameterSets : public ::testing::TestWithParam<ParameterSetCase> {};

TEST_P(SpropParameterSets, AddsAnEntryOnlyForTwoItems) {
    const ParameterSetCase& c = GetParam();
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseDescription("m=video 0 RTP/AVP 96\r\n" + c.fmtp +
                                        "\r\na=control:trackID=1\r\n"));
    const SDPDescription& d = parser.GetDescription();
    ASSERT_EQ(c.entries, d.parameterSets.size());
    if (c.entries == 0) return;
    EXPECT_EQ(c.payloadType, d.parameterSets[0].payloadType);
    EXPECT_EQ(c.spsSize, d.parameterSets[0].sps.size());
    EXPECT_EQ(c.ppsSize, d.parameterSets[0].pps.size());
}

const std::string kLongBase64(400, 'A');  // 300 bytes decoded

INSTANTIATE_TEST_SUITE_P(
    Fmtp, SpropParameterSets,
    ::testing::Values(
        ParameterSetCase{"OneItemGivesNoEntry",
                         "a=fmtp:96 sprop-parameter-sets=Z01AKJWgFAFuQA==", 0, 0, 0, 0},
        ParameterSetCase{"ThirdItemIgnored", "a=fmtp:97 sprop-parameter-sets=AAAA,BBBB,CCCC", 1, 97,
                         3, 3},
        ParameterSetCase{"PayloadTypeByLeadingDigits",
                         "a=fmtp:98x sprop-parameter-sets=Z0IAHg==,aM4="
                         ";packetization-mode=1",
                         1, 98, 4, 2},
        ParameterSetCase{"OversizedSetLeftEmpty",
                         "a=fmtp:96 sprop-parameter-sets=" + kLongBase64 + ",aM4=", 1, 96, 0, 2},
        ParameterSetCase{"NonAlphabetCharactersSkipped",
                         "a=fmtp:96 sprop-parameter-sets=Z0-I*A=Hg,a!M4", 1, 96, 4, 2}),
    [](const ::testing::TestParamInfo<ParameterSetCase>& info) {
        return std::string(info.param.name);
    });

struct FailCase {
    const char* name;
    std::string sdp;
    bool ok;
};

class DescriptionFailures : public ::testing::TestWithParam<FailCase> {};

TEST_P(DescriptionFailures, RejectsMalformedLines) {
    const FailCase& c = GetParam();
    CSDPResponseParser parser;
    EXPECT_EQ(c.ok, parser.ParseDescription(c.sdp));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DescriptionFailures,
    ::testing::Values(
        FailCase{"Empty", "", false},
        FailCase{"FmtpBeforeFirstMedia",
                 "a=fmtp:96 packetization-mode=1\r\nm=video 0 RTP/AVP 96\r\n", false},
        FailCase{"FmtpInUnknownSection", "m=text 0 RTP/AVP 96\r\na=fmtp:96 x=1\r\n", false},
        FailCase{"FmtpInDataSection", "m=application 0 RTP/AVP 107\r\na=fmtp:107 x=1\r\n", true},
        FailCase{"MediaWithoutValue", "m=\r\n", false},
        FailCase{"ConnectionNetworkTypeLowerCase", "c=in IP4 10.0.0.1\r\n", false},
        FailCase{"ConnectionTooFewTokens", "c=IN IP4\r\n", false},
        FailCase{"ControlWithoutValue", "m=video 0 RTP/AVP 96\r\na=control:\r\n", false},
        FailCase{"RtpMapWithOneToken", "m=video 0 RTP/AVP 96\r\na=rtpmap:96\r\n", false},
        FailCase{"AacModeCelpFails",
                 "m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/16000/2\r\n"
                 "a=fmtp:97 streamtype=5; mode=CELP; config=1410\r\n",
                 false},
        FailCase{"LfOnlyLineEndings", "m=video 0 RTP/AVP 96\na=control:t1\n", true}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace talvik

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
    EXPECT_EQ("239.1.2.3", video.address);
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

TEST(SDPResponseParser, SendOnlyAudioIsNotCommitted) {
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseDescription(
        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n"
        "m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=sendonly\r\na=control:trackID=2\r\n"));
    EXPECT_TRUE(parser.GetDescription().media[kAudioSlot].IsEmpty());
    EXPECT_EQ("trackID=1", parser.GetDescription().media[kVideoSlot].control);
    EXPECT_EQ(kAudioCodecUnknown, parser.GetDescription().audio.codec);
}

TEST(SDPResponseParser, AacSectionGivesFormatAndParameters) {
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseDescription(
        "m=audio 0 RTP/AVP 97\r\n"
        "a=rtpmap:97 MPEG4-GENERIC/16000/2\r\n"
        "a=fmtp:97 streamtype=5; profile-level-id=15; mode=AAC-hbr; config=1410; "
        "SizeLength=13; IndexLength=3; IndexDeltaLength=3\r\n"
        "a=control:trackID=2\r\n"));
    const SDPDescription& d = parser.GetDescription();
    EXPECT_EQ(MakeAudioCodec("AAC1"), d.audio.codec);
    EXPECT_EQ(16000u, d.audio.clockRate);
    EXPECT_EQ(2, d.audio.channels);
    EXPECT_EQ("AAC-hbr", d.aac.mode);
    EXPECT_EQ((Bytes{0x14, 0x10}), d.aac.config);
    EXPECT_EQ(13u, d.aac.sizeLength);
    EXPECT_EQ(3u, d.aac.indexLength);
    EXPECT_EQ(3u, d.aac.indexDeltaLength);
    EXPECT_EQ("trackID=2", d.media[kAudioSlot].control);
    EXPECT_EQ(0u, d.media[kAudioSlot].fmtp.find("a=fmtp:97 streamtype=5;"));
}

struct AudioCase {
    const char* name;
    std::string rtpmap;
    uint32_t codec;
    uint32_t clock;
    uint32_t bitrate;
    uint8_t channels;
};

class AudioCodec : public ::testing::TestWithParam<AudioCase> {};

TEST_P(AudioCodec, RecognisedFromRtpMap) {
    const AudioCase& c = GetParam();
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseDescription("m=audio 0 RTP/AVP 8\r\na=rtpmap:" + c.rtpmap +
                                        "\r\na=control:trackID=2\r\n"));
    const AudioFormatInfo& a = parser.GetDescription().audio;
    EXPECT_EQ(c.codec, a.codec);
    EXPECT_EQ(c.clock, a.clockRate);
    EXPECT_EQ(c.bitrate, a.bitrate);
    EXPECT_EQ(c.channels, a.channels);
}

INSTANTIATE_TEST_SUITE_P(
    Audio, AudioCodec,
    ::testing::Values(
        AudioCase{"Pcma", "8 PCMA/8000", MakeAudioCodec("711A"), 8000, 0, 1},
        AudioCase{"G726With32Kbits", "97 G726-32/8000", MakeAudioCodec("7261"), 8000, 32000, 1},
        AudioCase{"Mpeg4GenericChannelsDefaultToOne", "97 mpeg4-generic/44100", kAudioCodecUnknown,
                  44100, 0, 1},
        AudioCase{"UnknownCodec", "97 L16/44100/2", kAudioCodecUnknown, 0, 0, 1},
        AudioCase{"ClockNotNumericGivesZero", "8 PCMA/8k", MakeAudioCodec("711A"), 0, 0, 1}),
    [](const ::testing::TestParamInfo<AudioCase>& info) { return std::string(info.param.name); });

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

TEST(SDPResponseParser, SessionConnectionCarriesIntoEverySection) {
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseDescription(
        "c=IN IP4 239.0.0.9/32\r\nm=video 5000 RTP/AVP 96\r\na=control:t1\r\n"
        "m=audio 5002 RTP/AVP 0\r\na=control:t2\r\n"
        "m=application 5004 RTP/AVP 107\r\na=control:t3\r\n"));
    const SDPDescription& d = parser.GetDescription();
    EXPECT_EQ("239.0.0.9", d.media[kVideoSlot].address);
    EXPECT_EQ("239.0.0.9", d.media[kAudioSlot].address);
    EXPECT_EQ("239.0.0.9", d.media[kDataSlot].address);
    EXPECT_EQ(5000, d.media[kVideoSlot].port);
    EXPECT_EQ(5002, d.media[kAudioSlot].port);
    EXPECT_EQ(5004, d.media[kDataSlot].port);
    EXPECT_EQ("t3", d.media[kDataSlot].control);
}

}  // namespace
}  // namespace talvik

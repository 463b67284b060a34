#include "rtsp/RTSPResponseParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talvik {
namespace {

// Description as gst-rtsp-server 1.22 answers DESCRIBE for
// "( videotestsrc ! x264enc ! rtph264pay name=pay0 pt=96 )".
const char kGStreamerSdp[] =
    "v=0\r\n"
    "o=- 1188340656180883 1 IN IP4 127.0.0.1\r\n"
    "s=Session streamed with GStreamer\r\n"
    "i=rtsp-server\r\n"
    "t=0 0\r\n"
    "a=tool:GStreamer\r\n"
    "a=type:broadcast\r\n"
    "a=range:npt=now-\r\n"
    "a=control:rtsp://127.0.0.1:8554/h264.sdp?res=half\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "b=AS:2097\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=framerate:30\r\n"
    "a=fmtp:96 packetization-mode=1;profile-level-id=42c01f;"
    "sprop-parameter-sets=Z0LAH9kAUAW7ARAAAAMAEAAAAwPI8YMkgA==,aMuDyyA=\r\n"
    "a=control:stream=0\r\n"
    "a=ts-refclk:local\r\n"
    "a=mediaclk:sender\r\n";

std::string Response(const std::string& statusAndHeaders, const std::string& body = "") {
    return statusAndHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The DESCRIBE answer, then the SETUP answer adding to what it described.
TEST(RTSPResponseParser, ReadsGStreamerDescribeAndSetupAnswers) {
    CRTSPResponseParser parser;
    const std::string answer = Response(
        "RTSP/1.0 200 OK\r\nCSeq: 7\r\nContent-Type: application/sdp\r\n"
        "Content-Base: rtsp://127.0.0.1:8554/h264.sdp/\r\nServer: GStreamer RTSP server\r\n"
        "Date: Sun, 06 Dec 2026 10:00:00 GMT\r\n",
        kGStreamerSdp);
    ASSERT_TRUE(parser.ParseResponse(RTSPMethod::DESCRIBE, answer));
    const RTSPSessionInfo& info = parser.GetSessionInfo();
    EXPECT_EQ(7u, info.cseq);
    EXPECT_EQ("rtsp://127.0.0.1:8554/h264.sdp/", info.contentBase);
    EXPECT_EQ(sizeof(kGStreamerSdp) - 1, info.contentLength);
    const RTSPMediaInfo& video = info.media[kVideoSlot];
    EXPECT_EQ("stream=0", video.control);
    EXPECT_EQ(96, video.payloadType);
    ASSERT_EQ(1u, info.parameterSets.size());
    EXPECT_EQ((std::vector<uint8_t>{0x68, 0xCB, 0x83, 0xCB, 0x20}), info.parameterSets[0].pps);
    ASSERT_EQ(25u, info.parameterSets[0].sps.size());

    ASSERT_TRUE(parser.ParseResponse(
        RTSPMethod::SETUP,
        "RTSP/1.0 200 OK\r\nCSeq: 8\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1;"
        "ssrc=5A1F0C2B;mode=\"PLAY\"\r\nServer: GStreamer RTSP server\r\n"
        "Session: XyZ12;timeout=60\r\nDate: Sun, 06 Dec 2026 10:00:00 GMT\r\n\r\n"));
    EXPECT_EQ("rtsp://127.0.0.1:8554/h264.sdp/", info.contentBase);
    EXPECT_EQ("stream=0", video.control);
    EXPECT_EQ("XyZ12", info.sessionId);
    EXPECT_EQ(60u, info.sessionTimeout);
    EXPECT_EQ(1u, info.parameterSets.size());
}

struct HeaderCase {
    const char* name;
    std::string headers;  // between the status line and the blank line
    bool ok;
};

class ResponseHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ResponseHeaders, LiteralScansDecide) {
    const HeaderCase& c = GetParam();
    CRTSPResponseParser parser;
    EXPECT_EQ(c.ok,
              parser.ParseResponse(RTSPMethod::PLAY, "RTSP/1.0 200 OK\r\n" + c.headers + "\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Scans, ResponseHeaders,
    ::testing::Values(
        HeaderCase{"ContentLengthWithBlank", "Content-Length: 0\r\n", true},
        HeaderCase{"ContentLengthNoBlankAfterColon", "Content-Length:0\r\n", false},
        HeaderCase{"ContentLengthNotANumber", "Content-Length: many\r\n", false},
        HeaderCase{"ContentLengthNameCaseIgnored", "CONTENT-LENGTH: 0\r\n", true},
        HeaderCase{"CSeqEmpty", "CSeq: \r\n", false},
        HeaderCase{"SessionWithOtherParameterOnly", "Session: 12345678;foo=1\r\n", false},
        HeaderCase{"ColonTooEarlyIsIgnored", "X:Content-Length:zz\r\n", true},
        HeaderCase{"LineWithoutColonIgnored", "garbage line\r\n", true},
        HeaderCase{"AuthenticateSchemeWordNotEnded", "WWW-Authenticate: Basic\r\n", false},
        HeaderCase{"DigestWithOnlyRealm", "WWW-Authenticate: Digest realm=\"cam\"\r\n", false},
        HeaderCase{"UnknownSchemeSucceeds", "WWW-Authenticate: Negotiate abc\r\n", true}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    std::string response;
    RTSPMethod method;
    bool ok;
};

class ResponseStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ResponseStatus, OnlyCompleteAcceptedAnswersPass) {
    const StatusCase& c = GetParam();
    CRTSPResponseParser parser;
    EXPECT_EQ(c.ok, parser.ParseResponse(c.method, c.response));
}

INSTANTIATE_TEST_SUITE_P(
    Status, ResponseStatus,
    ::testing::Values(
        StatusCase{"Ok", "RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n", RTSPMethod::PLAY, true},
        StatusCase{"NotFoundFailsBeforeHeaders", "RTSP/1.0 404 Not Found\r\nCSeq: x\r\n\r\n",
                   RTSPMethod::PLAY, false},
        StatusCase{"NoStatusNumber", "RTSP/1.0 OK\r\n\r\n", RTSPMethod::PLAY, false},
        StatusCase{"EmptyText", "", RTSPMethod::PLAY, false},
        StatusCase{"DescribeOkWithEmptyBodyFails", Response("RTSP/1.0 200 OK\r\nCSeq: 1\r\n"),
                   RTSPMethod::DESCRIBE, false},
        StatusCase{"Describe401WithoutBodySucceeds",
                   Response("RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n"
                            "WWW-Authenticate: Basic realm=\"cam\"\r\n"),
                   RTSPMethod::DESCRIBE, true},
        StatusCase{"DescribeHeadersNotTerminated", "RTSP/1.0 401 Unauthorized\r\nCSeq: 1",
                   RTSPMethod::DESCRIBE, false},
        StatusCase{"PlayHeadersNotTerminatedWithoutBodyPasses",
                   "RTSP/1.0 200 OK\r\nCSeq: 1\r\nRange: npt=0-", RTSPMethod::PLAY, true},
        StatusCase{"BodyPromisedButHeadersNotTerminated",
                   "RTSP/1.0 200 OK\r\nContent-Length: 10\r\nServer: x", RTSPMethod::PLAY, false},
        StatusCase{"DescribeBodyCutShortStillParses",
                   "RTSP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\nm=video 0 RTP/AVP 96\r\n"
                   "a=control:track1\r\n",
                   RTSPMethod::DESCRIBE, true},
        StatusCase{"DescribeFailingSdp",
                   Response("RTSP/1.0 200 OK\r\n", "a=fmtp:96 sprop-parameter-sets=Z0,aM\r\n"),
                   RTSPMethod::DESCRIBE, false}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

struct SessionCase {
    const char* name;
    std::string header;
    std::string sessionId;
    uint32_t timeout;
};

class SessionHeader : public ::testing::TestWithParam<SessionCase> {};

TEST_P(SessionHeader, ReadsTokenAndTimeout) {
    const SessionCase& c = GetParam();
    CRTSPResponseParser parser;
    parser.GetSessionInfo().sessionTimeout = 45;  // from an earlier answer
    ASSERT_TRUE(
        parser.ParseResponse(RTSPMethod::SETUP, "RTSP/1.0 200 OK\r\n" + c.header + "\r\n\r\n"));
    EXPECT_EQ(c.sessionId, parser.GetSessionInfo().sessionId);
    EXPECT_EQ(c.timeout, parser.GetSessionInfo().sessionTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Session, SessionHeader,
    ::testing::Values(
        SessionCase{"TokenAndTimeout", "Session: 12345678;timeout=60", "12345678", 60},
        SessionCase{"TimeoutZeroGives30", "Session: 12345678;timeout=0", "12345678", 30},
        SessionCase{"TokenAloneKeepsPreviousTimeout", "Session: 12345678", "12345678", 45}),

    [](const ::testing::TestParamInfo<SessionCase>& info) { return std::string(info.param.name); });

struct AuthCase {
    const char* name;
    std::string headers;
    AuthScheme scheme;
    std::string realm;
    std::string nonce;
};

class Authenticate : public ::testing::TestWithParam<AuthCase> {};

TEST_P(Authenticate, LastChallengeDecides) {
    const AuthCase& c = GetParam();
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.ParseResponse(
        RTSPMethod::DESCRIBE, Response("RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n" + c.headers)));
    EXPECT_EQ(c.scheme, parser.GetSessionInfo().authScheme);
    EXPECT_EQ(c.realm, parser.GetSessionInfo().realm);
    EXPECT_EQ(c.nonce, parser.GetSessionInfo().nonce);
}

INSTANTIATE_TEST_SUITE_P(
    Challenges, Authenticate,
    ::testing::Values(
        AuthCase{"DigestWithStaleAndAlgorithm",
                 "WWW-Authenticate: Digest realm=\"GStreamer RTSP Server\", "
                 "nonce=\"5fd3c1a2b4e6\", stale=FALSE, algorithm=MD5\r\n",
                 AuthScheme::Digest, "GStreamer RTSP Server", "5fd3c1a2b4e6"},
        AuthCase{"Basic", "WWW-Authenticate: Basic realm=\"cam\"\r\n", AuthScheme::Basic, "cam",
                 ""},
        AuthCase{"BasicAfterDigestCountsBasic",
                 "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n"
                 "WWW-Authenticate: Basic realm=\"b\"\r\n",
                 AuthScheme::Basic, "b", ""},
        AuthCase{"QuotedCommasInRealmAndNonce",
                 "WWW-Authenticate: Digest realm=\"cam, lobby\", "
                 "nonce=\"a1,b2\", algorithm=MD5\r\n",
                 AuthScheme::Digest, "cam, lobby", "a1,b2"},
        AuthCase{"EscapedQuoteInRealm", "WWW-Authenticate: Digest realm=\"r\\\"q\", nonce=n\r\n",
                 AuthScheme::Digest, "r\"q", "n"},
        AuthCase{"UnknownSchemeLastGivesNone",
                 "WWW-Authenticate: Basic realm=\"b\"\r\nWWW-Authenticate: NTLM x\r\n",
                 AuthScheme::None, "b", ""}),
    [](const ::testing::TestParamInfo<AuthCase>& info) { return std::string(info.param.name); });

// SETUP answer Transport parameters; slot 0 is filled by DESCRIBE with port 0.
struct TransportCase {
    const char* name;
    std::string transport;
    uint32_t serverRtp;
    uint32_t serverRtcp;
    uint8_t channel;
    uint16_t slotPort;
    std::string address;
};

class TransportHeader : public ::testing::TestWithParam<TransportCase> {};

TEST_P(TransportHeader, FillsSessionAndSlots) {
    const TransportCase& c = GetParam();
    CRTSPResponseParser parser;
    parser.GetSessionInfo().media[kVideoSlot].port = 0;
    parser.GetSessionInfo().media[kVideoSlot].address = "0.0.0.0";
    parser.GetSessionInfo().media[kAudioSlot].port = 7000;
    ASSERT_TRUE(parser.ParseResponse(RTSPMethod::SETUP,
                                     "RTSP/1.0 200 OK\r\nCSeq: 3\r\nTransport: " + c.transport +
                                         "\r\nSession: 1234;timeout=60\r\n\r\n"));
    const RTSPSessionInfo& info = parser.GetSessionInfo();
    EXPECT_EQ(c.serverRtp, info.serverRtpPort);
    EXPECT_EQ(c.serverRtcp, info.serverRtcpPort);
    EXPECT_EQ(c.channel, info.interleavedChannel);
    EXPECT_EQ(c.slotPort, info.media[kVideoSlot].port);
    EXPECT_EQ(7000, info.media[kAudioSlot].port);
    EXPECT_EQ(c.address, info.media[kVideoSlot].address);
}

INSTANTIATE_TEST_SUITE_P(
    Transport, TransportHeader,
    ::testing::Values(
        TransportCase{"ServerPorts",
                      "RTP/AVP;unicast;client_port=5000-5001;server_port=6970-6971;ssrc=1A2B3C4D;"
                      "mode=\"PLAY\"",
                      6970, 6971, 0, 0, "0.0.0.0"},
        TransportCase{"InterleavedTakesFirstChannel", "RTP/AVP/TCP;unicast;interleaved=4-5", 0, 0,
                      4, 0, "0.0.0.0"}),
    [](const ::testing::TestParamInfo<TransportCase>& info) {
        return std::string(info.param.name);
    });

TEST(RTSPResponseParser, ContentBaseKeepsCaseAndDropsSurroundingBlanks) {
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.ParseResponse(
        RTSPMethod::PLAY, "RTSP/1.0 200 OK\r\ncontent-base:   RTSP://Cam/Live/ \t\r\n\r\n"));
    EXPECT_EQ("RTSP://Cam/Live/", parser.GetSessionInfo().contentBase);
}

}  // namespace
}  // namespace talvik

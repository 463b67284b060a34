// RTSP answers: byte 0 picks the request method (DESCRIBE ... PAUSE), the rest
// is the answer. As in the client, an earlier answer gave a 45 s time-out,
// DESCRIBE an empty video slot and an audio slot on port 7000.
#include "FuzzTarget.h"
#include "rtsp/RTSPResponseParser.h"

namespace {

std::string RtspResponse(const Bytes& in) {
    if (in.empty()) return "empty\n";
    CRTSPResponseParser parser;
    RTSPSessionInfo& info = parser.GetSessionInfo();
    info.sessionTimeout = 45;
    info.media[kVideoSlot].address = "0.0.0.0";
    info.media[kAudioSlot].port = 7000;
    std::ostringstream s;
    s << "ok="
      << parser.ParseResponse(static_cast<RTSPMethod>(in[0] % 6 + 1),
                              std::string(in.begin() + 1, in.end()))
      << " status=" << info.version << " " << info.statusCode << " cseq=" << info.cseq
      << " type=" << info.contentType << " length=" << info.contentLength << "\nbase=["
      << info.contentBase << "] session=[" << info.sessionId << "] timeout=" << info.sessionTimeout
      << " auth=" << int(info.authScheme) << " realm=[" << info.realm << "] nonce=[" << info.nonce
      << "] channel=" << int(info.interleavedChannel) << " public=[" << info.publicMethods << "]\n";
    Media(s, info);
    // A SETUP answer that follows adds to what was read, and nothing else.
    parser.ParseResponse(RTSPMethod::SETUP, "RTSP/1.0 200 OK\r\nCSeq: 9\r\nSession: s\r\n\r\n");
    s << "then setup: base=[" << info.contentBase << "] control=[" << info.media[0].control
      << "] sets=" << info.parameterSets.size() << " timeout=" << info.sessionTimeout << "\n";
    return s.str();
}

}  // namespace

FUZZ_TARGET(RtspResponse);

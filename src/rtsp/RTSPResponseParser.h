// One RTSP response (status line, headers, body) read into the session record
// that the RTSP client and channel work from.
#pragma once

#include <cstdint>
#include <string>

#include "rtsp/SDPResponseParser.h"

namespace talvik {

struct RTSPSessionInfo : SDPDescription {
    std::string version;  // first word of the status line
    uint32_t statusCode = 0;
    uint32_t cseq = 0;  // CSeq of the last answer; also the client's request counter
    std::string contentBase;
    std::string contentType;  // lower case, first word
    uint32_t contentLength = 0;
    std::string sessionId;
    uint32_t sessionTimeout = 0;  // seconds; 0 when the camera gave none
    AuthScheme authScheme = AuthScheme::None;
    std::string realm;
    std::string nonce;
    uint8_t interleavedChannel = 0;
    // The stream's SSRC as the SETUP answer's Transport header gives it (hex).
    bool hasSsrc = false;
    uint32_t ssrc = 0;
    std::string publicMethods;  // the Public header of an OPTIONS answer
};

class CRTSPResponseParser {
public:
    CRTSPResponseParser() = default;
    virtual ~CRTSPResponseParser() = default;

    // Parses one complete response to a request of `method`. Fields whose
    // headers the response carries are overwritten; others stay as they were.
    bool ParseResponse(RTSPMethod method, const std::string& response);

    // Clears the per-session fields at the start of a session. Server ports,
    // interleaved channel, audio format and AAC parameters are kept.
    void Reset();

    RTSPSessionInfo& GetSessionInfo() { return info_; }
    const RTSPSessionInfo& GetSessionInfo() const { return info_; }

private:
    bool OnHeaderLine(const std::string& line);
    bool OnContentBase(const std::string& line);
    bool OnSession(const std::string& line);
    bool OnAuthenticate(const std::string& line);
    void ParseTransport(const std::string& response);
    void OnTransportLine(const std::string& line);

    RTSPSessionInfo info_;
};

}  // namespace talvik

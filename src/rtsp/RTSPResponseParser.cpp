#include "rtsp/RTSPResponseParser.h"

#include <cstdio>

#include "base/Text.h"
#include "media/HttpAuth.h"
#include "rtsp/RTSPText.h"

namespace talvik {

using rtsptext::EqualsNoCase;

namespace {

// One to eight hex digits and nothing else.
bool ParseSsrc(const std::string& text, uint32_t& ssrc) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t value = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value << 4 | uint32_t(digit);
    }
    ssrc = value;
    return true;
}

bool ScanInto(const std::string& line, const char* prefix, uint32_t& field) {
    uint64_t value = 0;
    if (!rtsptext::ScanUnsigned(ToLowerCase(line), prefix, value)) return false;
    field = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

void CRTSPResponseParser::Reset() {
    info_.version.clear();
    info_.statusCode = 0;
    info_.cseq = 0;
    info_.contentBase.clear();
    info_.contentType.clear();
    info_.contentLength = 0;
    info_.sessionId.clear();
    info_.sessionTimeout = 0;
    for (RTSPMediaInfo& media : info_.media)
        media = RTSPMediaInfo();
    info_.authScheme = AuthScheme::None;
    info_.realm.clear();
    info_.nonce.clear();
    info_.parameterSets.clear();
    info_.publicMethods.clear();
    info_.hasSsrc = false;
    info_.ssrc = 0;
}

bool CRTSPResponseParser::ParseResponse(RTSPMethod method, const std::string& response) {
    size_t pos = 0;
    const std::string statusLine = rtsptext::ReadResponseLine(response, pos);
    char word[128] = {0};
    unsigned status = 0;
    if (std::sscanf(statusLine.c_str(), "%127s %u ", word, &status) != 2) return false;
    info_.version = word;
    info_.statusCode = status;
    info_.contentLength = 0;
    if (status != 200 && status != 401) return false;

    for (;;) {
        const std::string line = rtsptext::ReadResponseLine(response, pos);
        if (!OnHeaderLine(line)) return false;
        if (line.empty()) break;
    }

    const bool headersEnded = pos != std::string::npos;
    if ((info_.contentLength != 0 || method == RTSPMethod::DESCRIBE) && !headersEnded) return false;

    if (method == RTSPMethod::DESCRIBE) {
        const std::string body =
            pos < response.size() ? response.substr(pos, info_.contentLength) : std::string();
        if (status == 200 || !body.empty()) {
            CSDPResponseParser sdp;
            if (!sdp.ParseDescription(body)) return false;
            // Audio format and AAC parameters stay as they are.
            info_.media = sdp.GetDescription().media;
            info_.parameterSets = sdp.GetDescription().parameterSets;
        }
        return true;
    }
    if (method == RTSPMethod::SETUP) ParseTransport(response);
    return true;
}

bool CRTSPResponseParser::OnHeaderLine(const std::string& line) {
    if (line.empty()) return true;
    const std::string name = rtsptext::HeaderName(line);
    if (name.empty()) return true;

    if (EqualsNoCase(name, "CSeq")) return ScanInto(line, "cseq: ", info_.cseq);
    if (EqualsNoCase(name, "Content-Length")) {
        return ScanInto(line, "content-length: ", info_.contentLength);
    }
    if (EqualsNoCase(name, "Content-Type")) {
        char type[256] = {0};
        if (std::sscanf(ToLowerCase(line).c_str(), "content-type: %255s", type) != 1) return false;
        info_.contentType = type;
        return true;
    }
    if (EqualsNoCase(name, "Content-Base")) return OnContentBase(line);
    if (EqualsNoCase(name, "Session")) return OnSession(line);
    if (EqualsNoCase(name, "WWW-Authenticate")) return OnAuthenticate(line);
    if (EqualsNoCase(name, "Public")) {
        info_.publicMethods = TrimBlanks(line.substr(line.find(':') + 1));
        return true;
    }
    // Date, Transport (read by the SETUP pass), Range, RTP-Info, Server and the
    // rest carry nothing the session needs.
    return true;
}

bool CRTSPResponseParser::OnContentBase(const std::string& line) {
    static const std::string kName = "content-base:";
    const std::string lower = ToLowerCase(line);
    const size_t namePos = lower.find(kName);
    if (namePos == std::string::npos) {
        info_.contentBase.clear();
        return false;
    }
    const size_t urlPos = lower.find("rtsp://", namePos + kName.size());
    if (urlPos != std::string::npos) info_.contentBase = TrimBlanks(line.substr(urlPos));
    return true;
}

bool CRTSPResponseParser::OnSession(const std::string& line) {
    info_.sessionId = GetParamValue(line, "Session:", " ", ";\r\n");
    if (line.find(';') != std::string::npos) {
        const std::string timeout = GetParamValue(line, "timeout", "=", ";\r\n");
        if (timeout.empty()) {
            info_.sessionId.clear();
        } else {
            const int32_t seconds = rtsptext::LeadingDigits(timeout);
            info_.sessionTimeout = seconds > 0 ? static_cast<uint32_t>(seconds) : 30;
        }
    }
    return !info_.sessionId.empty();
}

bool CRTSPResponseParser::OnAuthenticate(const std::string& line) {
    static const std::string kName = "WWW-Authenticate: ";
    info_.authScheme = AuthScheme::None;  // the last challenge of a response decides
    const size_t namePos = line.find(kName);
    if (namePos == std::string::npos) return false;
    const size_t schemePos = namePos + kName.size();
    const size_t schemeEnd = line.find_first_of(" \t\r\n", schemePos);
    if (schemeEnd == std::string::npos) return false;
    // Parameters as RFC 7235 has them: a quoted realm or nonce may hold commas.
    const std::vector<Web::AuthChallenge> challenges = Web::ParseChallenges(line.substr(schemePos));
    if (challenges.empty()) return true;
    const Web::AuthChallenge& challenge = challenges.front();
    const uint32_t scheme = Web::AuthSchemeFromName(challenge.scheme);
    if (scheme == Web::kAuthDigest) {
        info_.authScheme = AuthScheme::Digest;
    } else if (scheme == Web::kAuthBasic) {
        info_.authScheme = AuthScheme::Basic;
    } else {
        return true;
    }
    info_.realm = challenge.Param("realm");
    info_.nonce = challenge.Param("nonce");
    if (info_.authScheme == AuthScheme::Basic) return true;
    return !info_.realm.empty() && !info_.nonce.empty();
}

void CRTSPResponseParser::ParseTransport(const std::string& response) {
    size_t pos = 0;
    while (pos < response.size()) {
        const std::string line = rtsptext::ReadDescriptionLine(response, pos);
        if (EqualsNoCase(rtsptext::HeaderName(line), "Transport")) OnTransportLine(line);
    }
}

void CRTSPResponseParser::OnTransportLine(const std::string& line) {
    const std::string serverPorts = GetParamValue(line, "server_port", "=", ";\r\n");
    unsigned rtp = 0;
    unsigned rtcp = 0;
    const int scanned = std::sscanf(serverPorts.c_str(), "%u-%u", &rtp, &rtcp);
    if (scanned >= 1) info_.serverRtpPort = rtp;
    if (scanned >= 2) info_.serverRtcpPort = rtcp;

    info_.interleavedChannel =
        static_cast<uint8_t>(rtsptext::AllDigits(GetParamValue(line, "interleaved", "=", ";-")));

    info_.hasSsrc = ParseSsrc(TrimBlanks(GetParamValue(line, "ssrc", "=", ";\r\n")), info_.ssrc);
    if (!info_.hasSsrc) info_.ssrc = 0;

    bool anyPortZero = false;
    for (const RTSPMediaInfo& media : info_.media)
        anyPortZero = anyPortZero || media.port == 0;
    if (anyPortZero) {
        // Only a "port=first-second" pair is a multicast port assignment.
        const std::vector<std::string> pair =
            rtsptext::Split(GetParamValue(line, "port", "=", ";\r\n"), "-");
        const uint16_t port =
            pair.size() == 2 ? static_cast<uint16_t>(rtsptext::AllDigits(pair[0])) : 0;
        for (RTSPMediaInfo& media : info_.media) {
            if (media.port == 0) media.port = port;
        }
    }

    const std::string destination = GetParamValue(line, "destination", "=", ";\r\n");
    if (!destination.empty() && destination.find("0.0.0.0") == std::string::npos) {
        for (RTSPMediaInfo& media : info_.media)
            media.address = destination;
    }
}

}  // namespace talvik

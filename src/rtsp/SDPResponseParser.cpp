#include "rtsp/SDPResponseParser.h"

#include "base/Text.h"
#include "rtsp/RTSPText.h"

namespace talvik {

using rtsptext::AllDigits;
using rtsptext::Split;

namespace {

// A parameter set is an SPS or PPS; anything larger is not one we can use.
constexpr size_t kMaxParameterSetSize = 256;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

void ApplyAudioCodecRule(const std::string& encoding, AudioFormatInfo& audio) {
    const std::vector<std::string> parts = Split(ToLowerCase(encoding), "/");
    if (parts.empty()) return;
    const std::string& name = parts[0];
    if (name.find("mpeg4-generic") != std::string::npos) {
        if (parts.size() > 1) audio.clockRate = AllDigits(parts[1]);
        const uint8_t channels = parts.size() > 2 ? static_cast<uint8_t>(AllDigits(parts[2])) : 0;
        audio.channels = channels == 0 ? 1 : channels;
    } else if (name.find("pcmu") != std::string::npos) {
        audio.codec = MakeAudioCodec("711M");
        if (parts.size() > 1) audio.clockRate = AllDigits(parts[1]);
    } else if (name.find("pcma") != std::string::npos) {
        audio.codec = MakeAudioCodec("711A");
        if (parts.size() > 1) audio.clockRate = AllDigits(parts[1]);
    } else if (name.find("g726") != std::string::npos) {
        audio.codec = MakeAudioCodec("7261");
        if (parts.size() > 1) audio.clockRate = AllDigits(parts[1]);
        const std::vector<std::string> pieces = Split(name, "-");
        if (pieces.size() > 1) {
            const uint32_t kbits = AllDigits(pieces[1]);
            if (kbits != 0) audio.bitrate = kbits * 1000;
        }
    }
}

}  // namespace

std::vector<uint8_t> DecodeBase64Lenient(const std::string& text) {
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int bitCount = 0;
    for (char c : text) {
        if (c == '\0') break;
        const int value = Base64Value(c);
        if (value < 0) continue;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out.push_back(static_cast<uint8_t>(bits >> bitCount));
        }
    }
    return out;
}

std::vector<uint8_t> DecodeHexLenient(const std::string& text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2 + 1);
    size_t i = 0;
    for (; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(HexValue(text[i]) << 4 | HexValue(text[i + 1])));
    }
    if (i < text.size()) out.push_back(static_cast<uint8_t>(HexValue(text[i])));
    return out;
}

bool CSDPResponseParser::ParseDescription(const std::string& text) {
    description_ = SDPDescription();
    if (text.empty()) return false;

    Section section;
    size_t pos = 0;
    while (pos < text.size()) {
        const std::string line = rtsptext::ReadDescriptionLine(text, pos);
        const std::string lower = ToLowerCase(line);
        bool ok = true;
        if (StartsWith(lower, "m=")) {
            Commit(section);
            ok = OnMediaLine(line, section);
        } else if (StartsWith(lower, "c=in")) {
            ok = OnConnectionLine(line, section);
        } else if (StartsWith(lower, "a=control")) {
            ok = OnControlLine(line, section);
        } else if (StartsWith(lower, "a=fmtp")) {
            ok = OnFormatLine(line, section);
        } else if (StartsWith(lower, "a=rtpmap")) {
            ok = OnRtpMapLine(line, section);
        } else if (StartsWith(lower, "a=sendonly")) {
            // Nothing we could receive: the section is not taken.
            section.kind = MediaKind::None;
        }
        if (!ok) return false;
    }
    Commit(section);
    return true;
}

void CSDPResponseParser::Commit(const Section& section) {
    switch (section.kind) {
        case MediaKind::Video:
            if (description_.media[kVideoSlot].IsEmpty())
                description_.media[kVideoSlot] = section.media;
            break;
        case MediaKind::Audio:
            if (description_.media[kAudioSlot].IsEmpty()) {
                description_.media[kAudioSlot] = section.media;
                description_.audio = section.audio;
                description_.aac = section.aac;
            }
            break;
        case MediaKind::Data:
            if (description_.media[kDataSlot].IsEmpty())
                description_.media[kDataSlot] = section.media;
            break;
        case MediaKind::None:
            break;
    }
}

bool CSDPResponseParser::OnMediaLine(const std::string& line, Section& section) {
    // Port, profile, address and fmtp carry over from the previous section
    // until this one overwrites them.
    section.media.control.clear();
    section.media.payloadType = 0;
    section.media.encoding.clear();

    const std::vector<std::string> tokens = Split(GetParamValue(line, "m", "=", "&\r\n"), " ");
    if (tokens.empty()) return false;
    const std::string kind = ToLowerCase(tokens[0]);
    if (kind == "video") {
        section.kind = MediaKind::Video;
    } else if (kind == "audio") {
        section.kind = MediaKind::Audio;
    } else if (kind == "metadata" || kind == "data" || kind == "application") {
        section.kind = MediaKind::Data;
    } else {
        section.kind = MediaKind::None;
    }
    if (tokens.size() >= 3) {
        section.media.port = static_cast<uint16_t>(AllDigits(tokens[1]));
        section.media.profile = tokens[2];
    }
    return true;
}

bool CSDPResponseParser::OnConnectionLine(const std::string& line, Section& section) {
    const std::vector<std::string> tokens = Split(GetParamValue(line, "c", "=", "&\r\n"), " ");
    if (tokens.size() < 3 || tokens[0] != "IN") return false;
    if (tokens[1] == "IP4") {
        // A multicast address carries "/ttl": keep the address only.
        const std::string address = tokens[2].substr(0, tokens[2].find('/'));
        if (address.empty()) return false;
        section.media.address = address;
        return true;
    }
    return tokens[1] == "IP6";
}

bool CSDPResponseParser::OnControlLine(const std::string& line, Section& section) {
    static const std::string kControl = "a=control:";
    const size_t pos = line.find(kControl);
    if (pos == std::string::npos) return false;
    const std::string value = line.substr(pos + kControl.size());
    if (value.empty()) return false;
    section.media.control = value;
    return true;
}

bool CSDPResponseParser::OnRtpMapLine(const std::string& line, Section& section) {
    const std::vector<std::string> tokens =
        Split(GetParamValue(line, "a=rtpmap", ":", "&\r\n"), " ");
    if (tokens.size() < 2) return false;
    section.media.payloadType = static_cast<uint8_t>(AllDigits(tokens[0]));
    section.media.encoding = tokens[1];
    if (section.kind == MediaKind::Audio)
        ApplyAudioCodecRule(section.media.encoding, section.audio);
    return true;
}

bool CSDPResponseParser::OnFormatLine(const std::string& line, Section& section) {
    switch (section.kind) {
        case MediaKind::Video:
            ReadH264ParameterSets(line);
            return true;
        case MediaKind::Audio:
            return ReadMpeg4Generic(line, section);
        case MediaKind::Data:
            return true;
        case MediaKind::None:
            break;
    }
    return false;
}

void CSDPResponseParser::ReadH264ParameterSets(const std::string& line) {
    const std::string sets = GetParamValue(line, "sprop-parameter-sets", "=", " ;\r\n");
    if (sets.empty()) return;
    const std::vector<std::string> items = Split(sets, ",");
    if (items.size() < 2) return;

    H264ParameterSetEntry entry;
    entry.payloadType = rtsptext::LeadingDigits(GetParamValue(line, "a=fmtp", ":", " "));
    entry.sps = DecodeBase64Lenient(items[0]);
    entry.pps = DecodeBase64Lenient(items[1]);
    if (entry.sps.size() > kMaxParameterSetSize) entry.sps.clear();
    if (entry.pps.size() > kMaxParameterSetSize) entry.pps.clear();
    description_.parameterSets.push_back(std::move(entry));
}

bool CSDPResponseParser::ReadMpeg4Generic(const std::string& line, Section& section) {
    if (ToLowerCase(section.media.encoding).find("mpeg4-generic") == std::string::npos) return true;

    section.media.fmtp = line;
    AACStreamParams& aac = section.aac;
    aac.mode = GetParamValue(line, "mode", "=", " ;");
    if (ToLowerCase(aac.mode).find("aac") == std::string::npos) return false;
    section.audio.codec = MakeAudioCodec("AAC1");

    aac.streamType = GetParamValue(line, "streamtype", "=", " ;");
    aac.profileLevelId = GetParamValue(line, "profile-level-id", "=", " ;");
    aac.config = DecodeHexLenient(GetParamValue(line, "config", "=", " ;"));

    std::string compact;
    for (char c : ToLowerCase(line)) {
        if (c != ' ') compact.push_back(c);
    }
    aac.sizeLength = aac.indexLength = aac.indexDeltaLength = 0;
    aac.ctsDeltaLength = aac.dtsDeltaLength = 0;
    for (const std::string& item : Split(compact, ";")) {
        const size_t equals = item.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = item.substr(0, equals);
        const uint32_t value = AllDigits(item.substr(equals + 1));
        if (name == "sizelength") {
            aac.sizeLength = value;
        } else if (name == "indexlength") {
            aac.indexLength = value;
        } else if (name == "indexdeltalength") {
            aac.indexDeltaLength = value;
        } else if (name == "ctsdeltalength") {
            aac.ctsDeltaLength = value;
        } else if (name == "dtsdeltalength") {
            aac.dtsDeltaLength = value;
        }
    }
    return true;
}

}  // namespace talvik

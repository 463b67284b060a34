// Session description (SDP) of an RTSP DESCRIBE answer: up to three media
// slots (video, audio, data), the audio format, MPEG-4 generic audio
// parameters and the H.264 parameter sets of the video section.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace talvik {

enum class RTSPMethod : uint32_t {
    DESCRIBE = 1,
    SETUP = 2,
    PLAY = 3,
    TEARDOWN = 4,
    OPTIONS = 5,
    PAUSE = 6,
    GET_PARAMETER = 7,
};

enum class MediaKind : uint32_t { None = 0, Video = 1, Audio = 2, Data = 3 };

enum class AuthScheme : uint32_t { None = 0, Basic = 1, Digest = 2 };

// Four ASCII characters in text order (first character in the lowest byte).
constexpr uint32_t MakeAudioCodec(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

constexpr uint32_t kAudioCodecUnknown = 1;

struct RTSPMediaInfo {
    uint16_t port = 0;    // m= line port, or the multicast port of a SETUP answer
    std::string profile;  // m= line profile such as "RTP/AVP"
    std::string address;  // c= address or the SETUP answer's destination
    std::string control;  // a=control value; the slot is empty while this is empty
    uint8_t payloadType = 0;
    std::string encoding;  // a=rtpmap encoding as written ("H264/90000")
    std::string fmtp;      // whole a=fmtp line, MPEG-4 generic audio only

    bool IsEmpty() const { return control.empty(); }
};

struct AudioFormatInfo {
    uint32_t codec = kAudioCodecUnknown;
    uint32_t clockRate = 0;
    uint32_t bitrate = 0;  // G.726 only
    uint8_t channels = 1;
};

struct AACStreamParams {
    std::string streamType;
    std::string profileLevelId;
    std::string mode;
    std::vector<uint8_t> config;
    uint32_t sizeLength = 0;
    uint32_t indexLength = 0;
    uint32_t indexDeltaLength = 0;
    uint32_t ctsDeltaLength = 0;
    uint32_t dtsDeltaLength = 0;
};

struct H264ParameterSetEntry {
    int32_t payloadType = 0;
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;
};

constexpr size_t kVideoSlot = 0;
constexpr size_t kAudioSlot = 1;
constexpr size_t kDataSlot = 2;

struct SDPDescription {
    std::array<RTSPMediaInfo, 3> media;
    AudioFormatInfo audio;
    AACStreamParams aac;
    uint32_t serverRtpPort = 0;
    uint32_t serverRtcpPort = 0;
    std::vector<H264ParameterSetEntry> parameterSets;
};

class CSDPResponseParser {
public:
    CSDPResponseParser() = default;
    virtual ~CSDPResponseParser() = default;

    // Parses a whole SDP text; the description is cleared first.
    bool ParseDescription(const std::string& text);

    const SDPDescription& GetDescription() const { return description_; }

private:
    struct Section {
        RTSPMediaInfo media;
        AudioFormatInfo audio;
        AACStreamParams aac;
        MediaKind kind = MediaKind::None;
    };

    void Commit(const Section& section);
    static bool OnMediaLine(const std::string& line, Section& section);
    static bool OnConnectionLine(const std::string& line, Section& section);
    static bool OnControlLine(const std::string& line, Section& section);
    static bool OnRtpMapLine(const std::string& line, Section& section);
    bool OnFormatLine(const std::string& line, Section& section);
    void ReadH264ParameterSets(const std::string& line);
    static bool ReadMpeg4Generic(const std::string& line, Section& section);

    SDPDescription description_;
};

// Lenient base64 decoding used for sprop-parameter-sets: characters outside
// the standard alphabet ('=' included) are skipped, decoding stops at a NUL.
std::vector<uint8_t> DecodeBase64Lenient(const std::string& text);

// Hexadecimal pairs, high digit first; a non-digit counts as 0 and a last odd
// digit gives a byte of its own value.
std::vector<uint8_t> DecodeHexLenient(const std::string& text);

}  // namespace talvik

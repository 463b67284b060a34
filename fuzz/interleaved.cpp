// The byte stream of an RTSP connection after PLAY: answers and interleaved
// frames, channels 0 and 2 ours. Byte 0 is the chunk size the rest is fed in
// (0: whole), so that splits at every position are explored.
//
// The same bytes are then read as a recipe for a well-formed stream: RTP
// frames on channel 0, frames of the input's bytes on other channels (RTCP)
// and answers with the input's bytes as body. Every RTP frame of such a
// stream must arrive, in order, whatever bytes stand between them.
#include <stdexcept>

#include "FuzzTarget.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPStreamParser.h"

namespace {

// Whatever the user does with a packet, even throwing, the stream goes on.
class ThrowingUser : public IRTSPClientUser {
public:
    bool OnRTSPSessionReady(RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(CRTPPacket* p) override {
        FUZZ_CHECK(p->payload.size() <= 65535);
        sequences.push_back(p->sequenceNumber);
        s << "packet seq=" << p->sequenceNumber << " " << Hex(p->payload) << "\n";
        throw std::runtime_error("user");
    }
    void OnRTSPClientStopped() override {}
    // Whether the stream, fed in chunks, ends inside a frame.
    bool Feed(const uint8_t* data, size_t size, size_t chunk) {
        CRTSPStreamParser parser(this, 0, 2);
        for (size_t pos = 0; pos < size; pos += chunk)
            parser.Feed(data + pos, std::min(chunk, size - pos));
        return parser.MidFrame();
    }
    std::vector<uint16_t> sequences;
    std::ostringstream s;
};

// Records of [kind, length, bytes]: 0 an RTP frame carrying the bytes, 1 a
// frame of the bytes on channel 1 or 3, 2 an answer with the bytes as body.
Bytes WellFormed(const Bytes& in, std::vector<uint16_t>& rtp) {
    Bytes out;
    for (size_t pos = 1; pos + 2 <= in.size();) {
        const size_t length = std::min<size_t>(in[pos + 1], in.size() - pos - 2);
        Bytes body(in.begin() + long(pos + 2), in.begin() + long(pos + 2 + length));
        const uint8_t kind = in[pos] % 3;
        pos += 2 + length;
        std::string head =
            "RTSP/1.0 200 OK\r\nCSeq: 7\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
        if (kind == 0) {
            const uint8_t n = uint8_t(rtp.size()), high = uint8_t(rtp.size() >> 8);
            body.insert(body.begin(), {0x80, 0x60, high, n, 0, 0, 0, 0, 0, 0, 0, 1, 0x41});
            rtp.push_back(uint16_t(rtp.size()));
        }
        const char channel = kind == 0 ? 0 : length % 2 == 0 ? 1 : 3;
        if (kind != 2) head = {'$', channel, char(body.size() >> 8), char(body.size())};
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), body.begin(), body.end());
    }
    return out;
}

std::string Interleaved(const Bytes& in) {
    if (in.empty()) return "empty\n";
    const size_t chunk = in[0] == 0 ? in.size() : in[0];
    ThrowingUser user, wellFormed;
    const bool midFrame = user.Feed(in.data() + 1, in.size() - 1, chunk);
    // Every delivered frame needs at least its 4-byte header and 13 packet bytes.
    FUZZ_CHECK(user.sequences.size() * 17 <= in.size());
    std::vector<uint16_t> expected;
    const Bytes stream = WellFormed(in, expected);
    wellFormed.Feed(stream.data(), stream.size(), chunk);
    FUZZ_CHECK(wellFormed.sequences == expected);
    user.s << "midframe=" << midFrame << "\n";
    return user.s.str();
}

}  // namespace

FUZZ_TARGET(Interleaved);

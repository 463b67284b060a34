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

using namespace talvik_fuzz;

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
    std::vector<uint16_t> sequences;
    std::ostringstream s;
};

void Feed(ThrowingUser& user, const uint8_t* data, size_t size, size_t chunk, bool* midFrame) {
    CRTSPStreamParser parser(&user, 0, 2);
    for (size_t pos = 0; pos < size; pos += chunk)
        parser.Feed(data + pos, std::min(chunk, size - pos));
    if (midFrame) *midFrame = parser.MidFrame();
}

void AddFrame(Bytes& out, uint8_t channel, const Bytes& data) {
    out.insert(out.end(), {'$', channel, uint8_t(data.size() >> 8), uint8_t(data.size())});
    out.insert(out.end(), data.begin(), data.end());
}

// Records of [kind, length, bytes]: 0 an RTP frame carrying the bytes, 1 a
// frame of the bytes on channel 1 or 3, 2 an answer with the bytes as body.
Bytes WellFormed(const Bytes& in, std::vector<uint16_t>& rtp) {
    Bytes out;
    for (size_t pos = 1; pos + 2 <= in.size();) {
        const size_t length = std::min<size_t>(in[pos + 1], in.size() - pos - 2);
        const Bytes bytes(in.begin() + long(pos + 2), in.begin() + long(pos + 2 + length));
        const uint8_t kind = in[pos] % 3;
        pos += 2 + length;
        if (kind == 0) {
            const uint16_t sequence = uint16_t(rtp.size());
            Bytes packet = {
                0x80, 0x60, uint8_t(sequence >> 8), uint8_t(sequence), 0, 0, 0, 0, 0, 0, 0,
                1,    0x41};
            packet.insert(packet.end(), bytes.begin(), bytes.end());
            AddFrame(out, 0, packet);
            rtp.push_back(sequence);
        } else if (kind == 1) {
            AddFrame(out, length % 2 == 0 ? 1 : 3, bytes);
        } else {
            const std::string head =
                "RTSP/1.0 200 OK\r\nCSeq: 7\r\nContent-Length: " + std::to_string(length) +
                "\r\n\r\n";
            out.insert(out.end(), head.begin(), head.end());
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
    }
    return out;
}

std::string Interleaved(const Bytes& in) {
    if (in.empty()) return "empty\n";
    const size_t chunk = in[0] == 0 ? in.size() : in[0];
    ThrowingUser user;
    bool midFrame = false;
    Feed(user, in.data() + 1, in.size() - 1, chunk, &midFrame);
    // Every delivered frame needs at least its 4-byte header and 13 packet bytes.
    FUZZ_CHECK(user.sequences.size() * 17 <= in.size());
    std::vector<uint16_t> expected;
    const Bytes stream = WellFormed(in, expected);
    ThrowingUser wellFormed;
    Feed(wellFormed, stream.data(), stream.size(), chunk, nullptr);
    FUZZ_CHECK(wellFormed.sequences == expected);
    user.s << "midframe=" << midFrame << "\n";
    return user.s.str();
}

}  // namespace

FUZZ_TARGET(Interleaved);

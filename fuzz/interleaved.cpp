// The byte stream of an RTSP connection after PLAY: answers and interleaved
// frames. The first byte is the chunk size used to feed the rest (0 feeds it
// whole), so that splits at every position are explored.
//
// The same input is then read as a recipe for a well-formed stream: RTP
// frames on channel 0, frames with the input's bytes on other channels (RTCP)
// and answers with the input's bytes as body. Every RTP frame of such a
// stream must arrive, in order, whatever bytes stand between them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtsp/RTPPacket.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPStreamParser.h"

namespace {

class RecordingUser : public talvik::IRTSPClientUser {
public:
    bool OnRTSPSessionReady(talvik::RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(talvik::CRTPPacket* packet) override {
        if (packet->payload.size() > 65535) std::abort();
        sequences.push_back(packet->sequenceNumber);
    }
    void OnRTSPClientStopped() override {}
    std::vector<uint16_t> sequences;
};

void Feed(talvik::CRTSPStreamParser& parser, const uint8_t* data, size_t size, size_t chunk) {
    for (size_t pos = 0; pos < size; pos += chunk) {
        parser.Feed(data + pos, std::min(chunk, size - pos));
    }
}

void AddFrame(std::vector<uint8_t>& out, uint8_t channel, const uint8_t* data, size_t size) {
    out.push_back('$');
    out.push_back(channel);
    out.push_back(static_cast<uint8_t>(size >> 8));
    out.push_back(static_cast<uint8_t>(size));
    out.insert(out.end(), data, data + size);
}

// Records of [kind, length, bytes]: 0 an RTP frame carrying the bytes, 1 a
// frame of the bytes on channel 1 or 3, 2 an answer with the bytes as body.
std::vector<uint8_t> WellFormed(const uint8_t* data, size_t size, std::vector<uint16_t>& rtp) {
    std::vector<uint8_t> out;
    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t kind = data[pos] % 3;
        const size_t length = std::min<size_t>(data[pos + 1], size - pos - 2);
        const uint8_t* bytes = data + pos + 2;
        pos += 2 + length;
        if (kind == 0) {
            const uint16_t sequence = static_cast<uint16_t>(rtp.size());
            std::vector<uint8_t> packet = {
                0x80, 0x60, uint8_t(sequence >> 8), uint8_t(sequence), 0, 0, 0, 0, 0, 0, 0,
                1,    0x41};
            packet.insert(packet.end(), bytes, bytes + length);
            AddFrame(out, 0, packet.data(), packet.size());
            rtp.push_back(sequence);
        } else if (kind == 1) {
            AddFrame(out, length % 2 == 0 ? 1 : 3, bytes, length);
        } else {
            const std::string head =
                "RTSP/1.0 200 OK\r\nCSeq: 7\r\nContent-Length: " + std::to_string(length) +
                "\r\n\r\n";
            out.insert(out.end(), head.begin(), head.end());
            out.insert(out.end(), bytes, bytes + length);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = data[0] == 0 ? size : data[0];
    {
        RecordingUser user;
        talvik::CRTSPStreamParser parser(&user, 0, 2);
        Feed(parser, data + 1, size - 1, chunk);
        // Every delivered frame needs at least its 4-byte header and 13 packet bytes.
        if (user.sequences.size() * 17 > size) std::abort();
    }
    std::vector<uint16_t> expected;
    const std::vector<uint8_t> stream = WellFormed(data + 1, size - 1, expected);
    RecordingUser user;
    talvik::CRTSPStreamParser parser(&user, 0, 2);
    Feed(parser, stream.data(), stream.size(), chunk);
    if (user.sequences != expected) std::abort();
    return 0;
}

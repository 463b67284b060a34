#include "rtsp/RTCPPackets.h"

#include <algorithm>

namespace talvik {
namespace rtcp {

namespace {

void PutWord(uint8_t* out, const Word& word) {
    std::copy(word.begin(), word.end(), out);
}

void PutUint32(uint8_t* out, uint32_t value) {
    out[0] = uint8_t(value >> 24);
    out[1] = uint8_t(value >> 16);
    out[2] = uint8_t(value >> 8);
    out[3] = uint8_t(value);
}

Word GetWord(const uint8_t* in) {
    return Word{in[0], in[1], in[2], in[3]};
}

}  // namespace

std::array<uint8_t, kReceiverReportSize> BuildReceiverReport(const ReceiverReportFields& fields) {
    std::array<uint8_t, kReceiverReportSize> out{};
    out[0] = uint8_t(fields.versionBits | 1);
    out[1] = kReceiverReport;
    out[2] = 0;
    out[3] = uint8_t(kReceiverReportSize / 4 - 1);
    PutWord(&out[4], fields.ownSsrc);
    PutWord(&out[8], fields.sourceSsrc);
    PutUint32(&out[12], 0);  // fraction lost, cumulative lost
    PutUint32(&out[16], fields.extendedHighestSeq);
    PutUint32(&out[20], 0);  // interarrival jitter
    PutWord(&out[24], fields.lastSr);
    PutUint32(&out[28], fields.delaySinceLastSr);
    return out;
}

std::array<uint8_t, kByeSize> BuildBye(uint8_t versionBits, const Word& ownSsrc) {
    std::array<uint8_t, kByeSize> out{};
    out[0] = uint8_t(versionBits | 1);
    out[1] = kBye;
    out[2] = 0;
    out[3] = uint8_t(kByeSize / 4 - 1);
    PutWord(&out[4], ownSsrc);
    return out;
}

uint32_t DelaySinceLastSr(uint32_t nowMs, uint32_t arrivalMs) {
    if (arrivalMs == 0) return 0;
    const uint64_t elapsedMs = uint32_t(nowMs - arrivalMs);
    const uint64_t units = elapsedMs * 65536 / 1000;
    return units > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(units);
}

bool ParseSenderReport(const PacketView& packet, SenderReportInfo& info) {
    // The middle of the NTP time ends at byte 13.
    if (packet.type != kSenderReport || packet.data == nullptr || packet.size < 14) return false;
    info.versionBits = uint8_t(packet.firstByte & 0xC0);
    info.ssrc = GetWord(packet.data + 4);
    info.lastSr = GetWord(packet.data + 10);
    return true;
}

}  // namespace rtcp
}  // namespace talvik

// RTCP packets as this receiver sees them (RFC 3550 section 6): the receiver
// report and BYE it sends, and the walk over the compound packets a camera
// sends. Plain functions over byte spans, no sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace talvik {
namespace rtcp {

constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSourceDescription = 202;
constexpr uint8_t kBye = 203;

constexpr size_t kReceiverReportSize = 32;
constexpr size_t kByeSize = 8;
constexpr size_t kHeaderSize = 4;

// Four bytes kept in wire order (SSRCs, the middle of an NTP time).
using Word = std::array<uint8_t, 4>;

struct ReceiverReportFields {
    uint8_t versionBits = 0x81;  // top bits of the first byte; the report count 1 is or-ed in
    Word ownSsrc{};
    Word sourceSsrc{};
    uint32_t extendedHighestSeq = 0;  // cycles + highest sequence number (RFC 3550 A.1)
    Word lastSr{};                    // LSR: middle 32 bits of the last SR's NTP time
    uint32_t delaySinceLastSr = 0;    // DLSR in 1/65536 s
};

// One receiver report with one report block; loss and jitter are not reported.
std::array<uint8_t, kReceiverReportSize> BuildReceiverReport(const ReceiverReportFields& fields);

// BYE for our own SSRC alone.
std::array<uint8_t, kByeSize> BuildBye(uint8_t versionBits, const Word& ownSsrc);

// Milliseconds since the SR arrived in units of 1/65536 s, from two readings of
// a 32-bit millisecond counter (wrap-safe). 0 while no SR has arrived
// (arrivalMs 0); saturates instead of wrapping for absurdly old reports.
uint32_t DelaySinceLastSr(uint32_t nowMs, uint32_t arrivalMs);

// One packet of a compound datagram, with the size its length field declares.
struct PacketView {
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint8_t firstByte = 0;
    uint8_t type = 0;
};

// Calls visit(const PacketView&) for every packet of the compound datagram
// whose declared size fits in what is left. A packet that claims more bytes
// than remain ends the walk, as does a tail shorter than a header. Returns the
// number of packets visited. Each step advances by at least 4 bytes, so the walk
// ends on any input.
template <typename Visit>
size_t WalkCompound(const uint8_t* data, size_t size, Visit&& visit) {
    if (data == nullptr) return 0;
    size_t visited = 0;
    size_t offset = 0;
    while (size - offset >= kHeaderSize) {
        const size_t words = (size_t(data[offset + 2]) << 8) | data[offset + 3];
        const size_t packetSize = kHeaderSize + 4 * words;
        if (packetSize > size - offset) break;
        PacketView view;
        view.data = data + offset;
        view.size = packetSize;
        view.firstByte = data[offset];
        view.type = data[offset + 1];
        visit(static_cast<const PacketView&>(view));
        ++visited;
        offset += packetSize;
    }
    return visited;
}

struct SenderReportInfo {
    uint8_t versionBits = 0;  // first byte & 0xC0
    Word ssrc{};
    Word lastSr{};  // bytes 10-13: middle of the NTP timestamp
};

// The fields a receiver report needs from an SR. False for other packet types
// and for an SR too short to hold its NTP timestamp's middle bytes.
bool ParseSenderReport(const PacketView& packet, SenderReportInfo& info);

}  // namespace rtcp
}  // namespace talvik

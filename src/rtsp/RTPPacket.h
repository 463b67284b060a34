// One parsed RTP packet (RFC 3550 5.1): fixed header, CSRC list, header
// extension and payload with the padding removed. Produced by the UDP receiver
// and by the interleaved stream parser; every buffer is an owned copy, so the
// packet stays valid after the receive buffer is reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talvik {

class CRTPPacket {
public:
    CRTPPacket() = default;
    virtual ~CRTPPacket() = default;

    // Replaces every field with the packet in data[0..length). On false the
    // packet is left empty (all fields zero, no buffers).
    bool Parse(const uint8_t* data, size_t length);

    // Parse for a datagram of `length` bytes read in two pieces: the fixed
    // header (kFixedHeaderSize bytes) at head and everything after it
    // already in payload (at least length - kFixedHeaderSize bytes), which
    // then loses the CSRC list, extension and padding in place, without a
    // copy when there is no CSRC list or extension.
    static constexpr size_t kFixedHeaderSize = 12;
    bool ParseReceived(const uint8_t* head, size_t length);

    // Back to the state of a fresh packet.
    void Clear();

private:
    // The fields of the fixed header at head (kFixedHeaderSize bytes).
    void ReadFixedHeader(const uint8_t* head);

public:
    uint32_t csrcCount = 0;              // CC field, 0..15
    std::vector<uint8_t> csrcList;       // csrcCount * 4 bytes, network order
    uint32_t ssrc = 0;                   // the four SSRC bytes as received (not swapped)
    uint8_t marker = 0;                  // M bit
    uint8_t padding = 0;                 // P bit
    uint8_t payloadType = 0;             // PT, 0..127
    uint16_t sequenceNumber = 0;         // host order
    uint32_t timestamp = 0;              // host order
    uint16_t extensionProfile = 0;       // host order
    uint16_t extensionLength = 0;        // in 32-bit words
    std::vector<uint8_t> extensionData;  // extensionLength * 4 bytes
    uint32_t payloadLength = 0;          // == payload.size()
    std::vector<uint8_t> payload;        // payload without padding
};

}  // namespace talvik

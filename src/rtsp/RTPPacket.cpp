#include "rtsp/RTPPacket.h"

#include <cstring>

namespace talvik {

namespace {

uint16_t ReadBigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ReadBigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

bool CRTPPacket::ParseReceived(const uint8_t* head, size_t length) {
    if (head == nullptr || length <= kFixedHeaderSize ||
        payload.size() < length - kFixedHeaderSize || (head[0] >> 6) != 2) {
        Clear();
        return false;
    }
    payload.resize(length - kFixedHeaderSize);
    if ((head[0] & 0x1F) != 0) {
        // A CSRC list or an extension (rare): the whole datagram, parsed as usual.
        std::vector<uint8_t> whole;
        whole.reserve(length);
        whole.assign(head, head + kFixedHeaderSize);
        whole.insert(whole.end(), payload.begin(), payload.end());
        return Parse(whole.data(), whole.size());
    }
    const bool hasPadding = (head[0] & 0x20) != 0;
    const size_t paddingCount = hasPadding ? payload.back() : 0;
    if (paddingCount > payload.size()) {
        Clear();
        return false;
    }
    csrcCount = 0;
    csrcList.clear();
    extensionProfile = 0;
    extensionLength = 0;
    extensionData.clear();
    ReadFixedHeader(head);
    payload.resize(payload.size() - paddingCount);
    payloadLength = static_cast<uint32_t>(payload.size());
    return true;
}

void CRTPPacket::Clear() {
    csrcCount = 0;
    csrcList.clear();
    ssrc = 0;
    marker = 0;
    padding = 0;
    payloadType = 0;
    sequenceNumber = 0;
    timestamp = 0;
    extensionProfile = 0;
    extensionLength = 0;
    extensionData.clear();
    payloadLength = 0;
    payload.clear();
}

void CRTPPacket::ReadFixedHeader(const uint8_t* head) {
    marker = static_cast<uint8_t>(head[1] >> 7);
    padding = (head[0] & 0x20) ? 1 : 0;
    payloadType = static_cast<uint8_t>(head[1] & 0x7F);
    sequenceNumber = ReadBigEndian16(head + 2);
    timestamp = ReadBigEndian32(head + 4);
    std::memcpy(&ssrc, head + 8, sizeof(ssrc));
}

bool CRTPPacket::Parse(const uint8_t* data, size_t length) {
    Clear();
    // A packet must carry at least one byte after the fixed header.
    if (data == nullptr || length <= kFixedHeaderSize) return false;
    if ((data[0] >> 6) != 2) return false;

    const uint32_t cc = data[0] & 0x0F;
    const bool hasPadding = (data[0] & 0x20) != 0;
    const bool hasExtension = (data[0] & 0x10) != 0;
    size_t offset = kFixedHeaderSize;

    if (cc != 0) {
        // The CSRC list must be followed by at least one more byte.
        if (length - offset <= cc * 4) return false;
        csrcList.assign(data + offset, data + offset + cc * 4);
        offset += cc * 4;
    }

    if (hasExtension) {
        if (length - offset < 4) {
            Clear();
            return false;
        }
        const uint16_t profile = ReadBigEndian16(data + offset);
        const uint16_t words = ReadBigEndian16(data + offset + 2);
        const size_t extensionBytes = static_cast<size_t>(words) * 4;
        if (words != 0 && length - offset < 4 + extensionBytes) {
            Clear();
            return false;
        }
        extensionProfile = profile;
        extensionLength = words;
        extensionData.assign(data + offset + 4, data + offset + 4 + extensionBytes);
        offset += 4 + extensionBytes;
    }

    const size_t paddingCount = hasPadding ? data[length - 1] : 0;
    if (offset + paddingCount > length) {
        Clear();
        return false;
    }

    csrcCount = cc;
    ReadFixedHeader(data);

    payloadLength = static_cast<uint32_t>(length - offset - paddingCount);
    payload.assign(data + offset, data + offset + payloadLength);
    return true;
}

}  // namespace talvik

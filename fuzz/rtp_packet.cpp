// Single RTP packets as they arrive in datagrams or interleaved frames.
#include "FuzzTarget.h"
#include "rtsp/RTPPacket.h"

namespace {

std::string RtpPacket(const Bytes& in) {
    CRTPPacket p;
    const Bytes good = {0x91, 0xE1, 0, 9, 0, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0x65};
    p.Parse(good.data(), good.size());  // a failed parse must leave nothing of this
    const bool ok = p.Parse(in.data(), in.size());
    // Everything the packet claims must lie within what was given.
    const size_t extension = p.extensionData.empty() && p.extensionLength == 0 ? 0 : 4;
    FUZZ_CHECK(!ok ||
               (12 + p.csrcList.size() + extension + p.extensionData.size() + p.payload.size() <=
                in.size()));
    FUZZ_CHECK(!ok ||
               (p.payload.size() == p.payloadLength && p.csrcList.size() == p.csrcCount * 4u &&
                p.extensionData.size() == p.extensionLength * 4u));
    std::ostringstream s;
    s << "ok=" << ok << " m=" << int(p.marker) << " pt=" << int(p.payloadType)
      << " seq=" << p.sequenceNumber << " ts=" << p.timestamp
      << " ssrc=" << Hex(reinterpret_cast<const uint8_t*>(&p.ssrc), 4)
      << " csrc=" << int(p.csrcCount) << " ext=" << p.extensionLength
      << " payload=" << p.payloadLength << ":" << Hex(p.payload) << "\n";
    return s.str();
}

}  // namespace

FUZZ_TARGET(RtpPacket);

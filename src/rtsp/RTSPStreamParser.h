// Finds RTP packets interleaved in an RTSP connection ('$', channel, 16-bit
// length, packet; RFC 2326 10.12). Resumable: frames may be split anywhere
// across calls to Feed. Bytes that are not a frame on one of the two channels
// (RTSP answers, frames of other channels) are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtsp/RTPPacket.h"

namespace talvik {

class IRTSPClientUser;

class CRTSPStreamParser {
public:
    CRTSPStreamParser(IRTSPClientUser* user, uint8_t firstChannel, uint8_t secondChannel);
    virtual ~CRTSPStreamParser() = default;

    // Consumes the bytes as received; hands every complete frame that parses
    // as RTP to the user's OnInterleavedPacket.
    void Feed(const uint8_t* data, size_t length);

    // True while more of the current video frame is due at once: a frame of
    // the connection is cut short, or the last RTP packet lacked the marker.
    bool MidFrame() const { return markerMatched_ > 0 || lastPacketOpen_; }

private:
    void ResetFrame();
    void DeliverFrame();
    void DeliverPacket(const uint8_t* data, size_t length);

    size_t markerMatched_ = 0;
    size_t remaining_ = 0;
    std::vector<uint8_t> lengthBytes_;
    std::vector<uint8_t> payload_;
    uint8_t markerA_[2];
    uint8_t markerB_[2];
    IRTSPClientUser* user_;
    CRTPPacket packet_;  // reused for every frame
    bool lastPacketOpen_ = false;
};

}  // namespace talvik

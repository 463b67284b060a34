// Finds RTP packets interleaved in an RTSP connection ('$', channel, 16-bit
// length, packet; RFC 2326 10.12). Resumable: frames may be split anywhere
// across calls to Feed. Every '$' frame is consumed by its length whatever its
// channel (RTCP, other sessions); any other byte begins an RTSP answer, read
// to its blank line and then past its Content-Length body. Searching the bytes
// for a '$' instead would find one inside an RTCP packet and take a made-up
// length from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtsp/RTPPacket.h"

namespace talvik {

class IRTSPClientUser;

class CRTSPStreamParser {
public:
    CRTSPStreamParser(IRTSPClientUser* user, uint8_t firstChannel, uint8_t secondChannel);
    virtual ~CRTSPStreamParser() = default;

    // Consumes the bytes as received; hands every complete frame of the two
    // channels that parses as RTP to the user's OnInterleavedPacket.
    void Feed(const uint8_t* data, size_t length);

    // True while more of the current video frame is due at once: a frame of
    // the connection is cut short, or the last RTP packet lacked the marker.
    bool MidFrame() const {
        return state_ == State::kFrameHeader || state_ == State::kPayload || lastPacketOpen_;
    }

    // Header bytes of an interleaved answer kept for its Content-Length.
    static constexpr size_t kMaxAnswerHeader = 8192;

private:
    enum class State { kIdle, kFrameHeader, kPayload, kAnswerHeader, kAnswerBody };

    void StartAnswer();
    void EndAnswerHeader();
    void DeliverFrame();
    void DeliverPacket(const uint8_t* data, size_t length);

    State state_ = State::kIdle;
    uint8_t header_[3] = {0, 0, 0};  // channel and length of the current frame
    size_t headerBytes_ = 0;
    size_t remaining_ = 0;  // payload or body bytes still to come
    bool wanted_ = false;   // the current frame is on one of our channels
    std::vector<uint8_t> payload_;
    std::string answer_;           // answer header, at most kMaxAnswerHeader bytes
    size_t blankLineMatched_ = 0;  // bytes of "\r\n\r\n" matched so far
    bool lineStart_ = false;       // the next answer byte begins a line
    uint8_t firstChannel_;
    uint8_t secondChannel_;
    IRTSPClientUser* user_;
    CRTPPacket packet_;  // reused for every frame
    bool lastPacketOpen_ = false;
};

}  // namespace talvik

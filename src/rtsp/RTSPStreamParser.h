// Finds RTP packets interleaved in an RTSP connection ('$', channel, 16-bit
// length, packet; RFC 2326 10.12). Resumable: frames may be split anywhere
// across calls to Feed. Every '$' frame is consumed by its length whatever its
// channel (RTCP, other sessions); any other byte begins an RTSP answer, read
// to its blank line and then past its Content-Length body. Searching the bytes
// for a '$' instead would find one inside an RTCP packet and take a made-up
// length from it.
//
// A frame header can lie, though (a stranger's, or a misaligned stream's):
// the first two bytes of a frame on our channels must read as RTP of the
// session (version 2, a payload type the session uses) before the frame's
// length is believed. A frame that fails, or a message that does not begin
// with an upper-case word, leaves the parser lost: it then scans for the
// next '$' whose channel is one of ours (or their RTCP) and whose packet
// reads as version 2, or for the next message, and delivers nothing
// in between.
#pragma once

#include <bitset>
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

    // The payload types the session names for the first channel; with none
    // (the default) any type but the RTCP range passes. Another type passes
    // once kStrayTypeFrames frames in a row have carried it.
    void SetPayloadTypes(const std::vector<uint8_t>& types);

    // Consumes the bytes as received; hands every complete frame of the two
    // channels that parses as RTP to the user's OnInterleavedPacket.
    void Feed(const uint8_t* data, size_t length);

    // True while more of the current video frame is due at once: a frame of
    // the connection is cut short, or the last RTP packet lacked the marker.
    bool MidFrame() const {
        return state_ == State::kFrameHeader || state_ == State::kPayload || lastPacketOpen_;
    }

    // Header bytes of an interleaved answer kept for its Content-Length.
    // A longer header block is no answer: the parser is lost.
    static constexpr size_t kMaxAnswerHeader = 8192;

    // Frames in a row of one payload type the session does not name that
    // make it one of the session's.
    static constexpr uint32_t kStrayTypeFrames = 4;

    // For tests: the times the parser lost its place in the stream.
    uint32_t LostCount() const { return lostCount_; }

private:
    enum class State { kIdle, kFrameHeader, kPayload, kAnswerHeader, kAnswerBody, kScan };

    void StartAnswer();
    void EndAnswerHeader();
    void Lose();
    // Feeds bytes already taken from the stream through the parser again.
    void ScanAgain(const uint8_t* bytes, size_t count);
    // Whether a frame on `channel` that begins with lead[0..count) is believed.
    // Learns a payload type the description did not name once kStrayTypeFrames
    // frames in a row have carried it.
    bool Plausible(uint8_t channel, const uint8_t* lead, size_t count);
    void DeliverFrame();
    void DeliverPacket(const uint8_t* data, size_t length);

    State state_ = State::kIdle;
    uint8_t header_[3] = {0, 0, 0};  // channel and length of the current frame
    size_t headerBytes_ = 0;
    size_t remaining_ = 0;  // payload or body bytes still to come
    bool wanted_ = false;   // the current frame is on one of our channels
    bool checked_ = false;  // the current frame's lead bytes were found plausible
    bool lost_ = false;     // scanning for a frame or message we can trust
    uint32_t lostCount_ = 0;
    std::bitset<128> payloadTypes_;  // none set: any but the RTCP range
    uint8_t strayType_ = 0;          // the last type outside payloadTypes_
    uint32_t strayTypeCount_ = 0;    // frames in a row that carried it
    std::vector<uint8_t> payload_;
    std::string answer_;           // answer header, at most kMaxAnswerHeader bytes
    size_t answerBytes_ = 0;       // header bytes of the current answer so far
    size_t blankLineMatched_ = 0;  // bytes of "\r\n\r\n" matched so far
    bool lineStart_ = false;       // the next answer byte begins a line
    uint8_t firstChannel_;
    uint8_t secondChannel_;
    IRTSPClientUser* user_;
    CRTPPacket packet_;  // reused for every frame
    bool lastPacketOpen_ = false;
};

}  // namespace talvik

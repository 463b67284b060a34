#include "rtsp/RTSPStreamParser.h"

#include <algorithm>

#include "ThreadCancel.h"
#include "base/Text.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPText.h"

namespace talvik {

CRTSPStreamParser::CRTSPStreamParser(IRTSPClientUser* user, uint8_t firstChannel,
                                     uint8_t secondChannel)
    : firstChannel_(firstChannel), secondChannel_(secondChannel), user_(user) {
    payload_.reserve(2048);
}

void CRTSPStreamParser::SetPayloadTypes(const std::vector<uint8_t>& types) {
    payloadTypes_.reset();
    for (uint8_t type : types) {
        if (type < payloadTypes_.size()) payloadTypes_.set(type);
    }
}

namespace {

// Header names, methods and "RTSP/" begin with upper-case words.
bool MessageByte(uint8_t byte) {
    return (byte >= 'A' && byte <= 'Z') || byte == '_';
}

// Bytes of a message that must be MessageByte: "RTSP", or a method's name.
constexpr size_t kMessageLead = 4;

// Bytes of a frame judged before its length is believed: RTP's first two
// (version, marker and payload type), or RTCP's (version, packet type).
constexpr size_t kLeadBytes = 2;

// Payload types 72-76 are RTCP's packet types with the marker bit set.
bool RtcpType(uint8_t type) {
    return type >= 72 && type <= 76;
}

}  // namespace

void CRTSPStreamParser::StartAnswer() {
    state_ = State::kAnswerHeader;
    answer_.clear();
    answerBytes_ = 0;
    blankLineMatched_ = 0;
    lineStart_ = true;
}

void CRTSPStreamParser::EndAnswerHeader() {
    const std::string headers = ToLowerCase(answer_);
    remaining_ = rtsptext::AllDigits(GetParamValue(headers, "content-length", ": ", "&\r\n"));
    answer_.clear();
    lost_ = false;
    state_ = remaining_ > 0 ? State::kAnswerBody : State::kIdle;
}

void CRTSPStreamParser::Lose() {
    if (!lost_) ++lostCount_;
    lost_ = true;
    payload_.clear();
    answer_.clear();
    state_ = State::kScan;
}

bool CRTSPStreamParser::Plausible(uint8_t channel, const uint8_t* lead, size_t count) {
    const bool rtp = channel == firstChannel_ || channel == secondChannel_;
    if (!rtp) {
        // Frames of other channels are skipped unread while in step; a lost
        // parser trusts only our channels' RTCP.
        if (!lost_) return true;
        if (channel != uint8_t(firstChannel_ + 1) && channel != uint8_t(secondChannel_ + 1)) {
            return false;
        }
        // A compound RTCP packet begins with a sender or receiver report
        // (types 200-204 allowed for a lone BYE or the like).
        return count >= 2 && (lead[0] >> 6) == 2 && lead[1] >= 200 && lead[1] <= 204;
    }
    if (count < 2 || (lead[0] >> 6) != 2) return false;
    const uint8_t type = lead[1] & 0x7F;
    if (channel != firstChannel_ || payloadTypes_.none()) return !RtcpType(type);
    if (payloadTypes_.test(type)) {
        strayTypeCount_ = 0;
        return true;
    }
    // A camera that sends another type than its description names: noise
    // does not repeat one type frame after frame.
    if (RtcpType(type)) return false;
    strayTypeCount_ = type == strayType_ ? strayTypeCount_ + 1 : 1;
    strayType_ = type;
    if (strayTypeCount_ < kStrayTypeFrames) return false;
    payloadTypes_.set(type);
    return true;
}

void CRTSPStreamParser::Feed(const uint8_t* data, size_t length) {
    if (data == nullptr) return;
    size_t i = 0;
    while (i < length) {
        const uint8_t byte = data[i];
        switch (state_) {
            case State::kIdle:
                if (byte == '$') {
                    state_ = State::kFrameHeader;
                    headerBytes_ = 0;
                    ++i;
                } else {
                    StartAnswer();  // the byte is read again as the answer's first
                }
                break;
            case State::kScan:
                if (byte == '$') {
                    state_ = State::kFrameHeader;
                    headerBytes_ = 0;
                    ++i;
                } else if (MessageByte(byte)) {
                    StartAnswer();
                } else {
                    ++i;
                }
                break;
            case State::kFrameHeader:
                header_[headerBytes_++] = byte;
                ++i;
                if (headerBytes_ == 3) {
                    remaining_ = static_cast<size_t>(header_[1]) << 8 | header_[2];
                    wanted_ = header_[0] == firstChannel_ || header_[0] == secondChannel_;
                    checked_ = false;
                    payload_.clear();
                    if (remaining_ != 0) {
                        state_ = State::kPayload;
                    } else if (lost_) {
                        state_ = State::kScan;  // nothing to check: no proof of a frame
                    } else {
                        state_ = State::kIdle;
                    }
                }
                break;
            case State::kPayload: {
                if (!checked_ && (wanted_ || lost_)) {
                    // The lead bytes are checked before the length is believed:
                    // those held from earlier blocks, then these.
                    uint8_t lead[kLeadBytes] = {0, 0};
                    size_t count = 0;
                    for (; count < kLeadBytes && count < payload_.size(); ++count)
                        lead[count] = payload_[count];
                    for (size_t k = i; count < kLeadBytes && k < length; ++k)
                        lead[count++] = data[k];
                    // Held bytes are no longer counted in remaining_.
                    const size_t frameBytes = payload_.size() + remaining_;
                    if (count < kLeadBytes && length - i < remaining_) {
                        // The rest comes with the next block: hold what there is
                        // (a skipped frame's lead byte too).
                        if (!wanted_ && i < length) {
                            payload_.push_back(data[i]);
                            ++i;
                            --remaining_;
                            break;
                        }
                    } else if (Plausible(header_[0], lead, std::min(count, frameBytes))) {
                        checked_ = true;
                        lost_ = false;
                    } else {
                        // No frame: the next one may begin among the bytes
                        // read as its header (noise that ends in '$' takes the
                        // real frame's '$' as its channel), so they are scanned
                        // again, then what follows them.
                        uint8_t read[sizeof(header_) + kLeadBytes];
                        size_t count = 0;
                        for (uint8_t b : header_)
                            read[count++] = b;
                        for (size_t k = 0; k < payload_.size() && k < kLeadBytes; ++k)
                            read[count++] = payload_[k];
                        Lose();
                        ScanAgain(read, count);
                        break;
                    }
                }
                const size_t take = std::min(remaining_, length - i);
                if (!wanted_) {
                    // Another channel (RTCP, a second session): skipped unread.
                } else if (payload_.empty() && take == remaining_) {
                    // The whole frame is in this block: parse it in place.
                    state_ = State::kIdle;
                    remaining_ = 0;
                    i += take;
                    DeliverPacket(data + i - take, take);
                    break;
                } else {
                    payload_.insert(payload_.end(), data + i, data + i + take);
                }
                i += take;
                remaining_ -= take;
                if (remaining_ == 0) {
                    state_ = State::kIdle;
                    if (wanted_) DeliverFrame();
                }
                break;
            }
            case State::kAnswerHeader:
                if ((lineStart_ || lost_) && byte == '$') {
                    // No header line begins with '$': a frame after a stray line end.
                    state_ = lost_ ? State::kScan : State::kIdle;
                    break;
                }
                if (answerBytes_ < kMessageLead && !MessageByte(byte)) {
                    // Not the start of a message: bytes of a frame we lost track of.
                    Lose();
                    if (answerBytes_ == 0) ++i;  // MessageByte starts every scanned answer
                    break;
                }
                if (++answerBytes_ > kMaxAnswerHeader) {
                    Lose();
                    break;
                }
                ++i;
                lineStart_ = byte == '\n';
                answer_.push_back(static_cast<char>(byte));
                if (byte == (blankLineMatched_ % 2 == 0 ? '\r' : '\n')) {
                    if (++blankLineMatched_ == 4) EndAnswerHeader();
                } else {
                    blankLineMatched_ = byte == '\r' ? 1 : 0;
                }
                break;
            case State::kAnswerBody: {
                const size_t take = std::min(remaining_, length - i);
                i += take;
                remaining_ -= take;
                if (remaining_ == 0) state_ = State::kIdle;
                break;
            }
        }
    }
}

// A header and at most its lead bytes: a frame found among them has fewer
// bytes to give back again, so the calls end.
void CRTSPStreamParser::ScanAgain(const uint8_t* bytes, size_t count) {
    Feed(bytes, count);
}

void CRTSPStreamParser::DeliverFrame() {
    DeliverPacket(payload_.data(), payload_.size());
    payload_.clear();
}

void CRTSPStreamParser::DeliverPacket(const uint8_t* data, size_t length) {
    if (!packet_.Parse(data, length)) return;
    lastPacketOpen_ = packet_.marker == 0;
    if (user_ != nullptr) {
        try {
            user_->OnInterleavedPacket(&packet_);
        } catch (...) {
            RethrowThreadCancellation();
            // A failing user must not end the stream.
        }
    }
}

}  // namespace talvik

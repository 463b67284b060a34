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

void CRTSPStreamParser::StartAnswer() {
    state_ = State::kAnswerHeader;
    answer_.clear();
    blankLineMatched_ = 0;
    lineStart_ = true;
}

void CRTSPStreamParser::EndAnswerHeader() {
    const std::string headers = ToLowerCase(answer_);
    remaining_ = rtsptext::AllDigits(GetParamValue(headers, "content-length", ": ", "&\r\n"));
    answer_.clear();
    state_ = remaining_ > 0 ? State::kAnswerBody : State::kIdle;
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
            case State::kFrameHeader:
                header_[headerBytes_++] = byte;
                ++i;
                if (headerBytes_ == 3) {
                    remaining_ = static_cast<size_t>(header_[1]) << 8 | header_[2];
                    wanted_ = header_[0] == firstChannel_ || header_[0] == secondChannel_;
                    payload_.clear();
                    state_ = remaining_ == 0 ? State::kIdle : State::kPayload;
                }
                break;
            case State::kPayload: {
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
                if (lineStart_ && byte == '$') {
                    // No header line begins with '$': a frame after a stray line end.
                    state_ = State::kIdle;
                    break;
                }
                ++i;
                lineStart_ = byte == '\n';
                if (answer_.size() < kMaxAnswerHeader) answer_.push_back(static_cast<char>(byte));
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

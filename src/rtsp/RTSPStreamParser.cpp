#include "rtsp/RTSPStreamParser.h"

#include <algorithm>

#include "ThreadCancel.h"
#include "rtsp/RTSPClientUser.h"

namespace talvik {

CRTSPStreamParser::CRTSPStreamParser(IRTSPClientUser* user, uint8_t firstChannel,
                                     uint8_t secondChannel)
    : markerA_{'$', firstChannel}, markerB_{'$', secondChannel}, user_(user) {
    lengthBytes_.reserve(2);
    payload_.reserve(2048);
}

void CRTSPStreamParser::ResetFrame() {
    markerMatched_ = 0;
    remaining_ = 0;
    lengthBytes_.clear();
    payload_.clear();
}

void CRTSPStreamParser::Feed(const uint8_t* data, size_t length) {
    if (data == nullptr) return;
    size_t i = 0;
    while (i < length) {
        const uint8_t byte = data[i];
        if (markerMatched_ < 2) {
            if (byte == markerA_[markerMatched_] || byte == markerB_[markerMatched_]) {
                ++markerMatched_;
                ++i;
            } else if (markerMatched_ == 1) {
                // Look at this byte again: it may be the '$' of the real frame.
                markerMatched_ = 0;
            } else {
                ++i;
            }
            continue;
        }
        if (lengthBytes_.size() < 2) {
            lengthBytes_.push_back(byte);
            ++i;
            if (lengthBytes_.size() == 2) {
                remaining_ = static_cast<size_t>(lengthBytes_[0]) << 8 | lengthBytes_[1];
                if (remaining_ == 0) ResetFrame();
            }
            continue;
        }
        if (payload_.empty() && remaining_ <= length - i) {
            // The whole frame is in this block: parse it in place.
            const size_t size = remaining_;
            const uint8_t* start = data + i;
            i += size;
            ResetFrame();
            DeliverPacket(start, size);
            continue;
        }
        const size_t take = std::min(remaining_, length - i);
        payload_.insert(payload_.end(), data + i, data + i + take);
        i += take;
        remaining_ -= take;
        if (remaining_ == 0) DeliverFrame();
    }
}

void CRTSPStreamParser::DeliverFrame() {
    DeliverPacket(payload_.data(), payload_.size());
    ResetFrame();
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

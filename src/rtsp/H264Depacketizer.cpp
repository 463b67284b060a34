#include "rtsp/H264Depacketizer.h"

#include "media/SpsReader.h"

namespace talvik {

namespace {

enum NalType : uint8_t {
    kNalIdr = 5,
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
    kNalStapA = 24,
    kNalFuA = 28,
};
}  // namespace

void CH264Depacketizer::Resync() {
    needKeyFrame_ = true;
    width_ = 0;
    height_ = 0;
    frame_.clear();
    frameReady_ = false;
    fuOpen_ = false;
}

bool CH264Depacketizer::CheckSequence(uint16_t sequence) {
    const uint16_t previous = lastSequence_;
    lastSequence_ = sequence;
    if (firstPacket_) {
        firstPacket_ = false;
        return true;
    }
    if (sequence == static_cast<uint16_t>(previous + 1)) return true;
    if (hooks_.onSequenceError) hooks_.onSequenceError(previous, sequence);
    return false;
}

bool CH264Depacketizer::ReadSps(const std::vector<uint8_t>& data, uint32_t& width,
                                uint32_t& height) {
    const SpsSize found = ReadSpsSize(data.data(), data.size(), width, height);
    if (found == SpsSize::kOversized && hooks_.onOversizedPicture)
        hooks_.onOversizedPicture(width, height);
    return found == SpsSize::kDecoded;
}

void CH264Depacketizer::LoadParameterSets() {
    for (const H264ParameterSetEntry& entry : sets_) {
        if (entry.payloadType < 0 || static_cast<uint32_t>(entry.payloadType) != payloadType_) {
            continue;
        }
        if (entry.sps.empty() || entry.pps.empty()) return;
        width_ = defaultWidth_;
        height_ = defaultHeight_;
        std::vector<uint8_t> annexB;
        annexB.insert(annexB.end(), kH264StartCode, kH264StartCode + 3);
        annexB.insert(annexB.end(), entry.sps.begin(), entry.sps.end());
        annexB.insert(annexB.end(), kH264StartCode, kH264StartCode + 3);
        annexB.insert(annexB.end(), entry.pps.begin(), entry.pps.end());
        uint32_t w = 0, h = 0;
        if (ReadSps(annexB, w, h)) {
            sps_ = entry.sps;
            pps_ = entry.pps;
            width_ = w;
            height_ = h;
        }
        return;
    }
}

void CH264Depacketizer::AppendNal(const uint8_t* data, size_t size) {
    frame_.insert(frame_.end(), kH264StartCode, kH264StartCode + 3);
    frame_.insert(frame_.end(), data, data + size);
}

void CH264Depacketizer::InsertParameterSets() {
    if (sps_.empty() || pps_.empty()) return;
    AppendNal(sps_.data(), sps_.size());
    AppendNal(pps_.data(), pps_.size());
}

bool CH264Depacketizer::AppendSingle(const uint8_t* payload, size_t size) {
    if (size < 2) return false;
    switch (payload[0] & 0x1F) {
        case kNalSps:
            sps_.assign(payload, payload + size);
            return true;
        case kNalPps:
            pps_.assign(payload, payload + size);
            return true;
        case kNalSei:
        case kNalAud:
            return true;
        case kNalIdr:
            // Once per picture: sets between the slices of a multi-slice IDR
            // picture would make decoders split it in two.
            if (frame_.empty()) InsertParameterSets();
            AppendNal(payload, size);
            return true;
        default:
            AppendNal(payload, size);
            return true;
    }
}

bool CH264Depacketizer::AppendStapA(const uint8_t* payload, size_t size) {
    if (size < 4) return false;
    size_t pos = 1;
    while (size - pos > 1) {
        const size_t unit = static_cast<size_t>(payload[pos]) << 8 | payload[pos + 1];
        pos += 2;
        if (unit > size - pos) return false;
        AppendNal(payload + pos, unit);
        pos += unit;
    }
    return true;
}

bool CH264Depacketizer::AppendFuA(const uint8_t* payload, size_t size) {
    if (size < 2) return false;
    const uint8_t indicator = payload[0];
    const uint8_t header = payload[1];
    if (!(header & 0x80) && !fuOpen_) {
        // The start of this unit never came (or a unit ended before): its
        // rest has no start code to go behind. Dropped as a lost packet is.
        return false;
    }
    if (header & 0x80) {
        const uint8_t nal = static_cast<uint8_t>((indicator & 0xE0) | (header & 0x1F));
        // First slice of an IDR picture (first_mb_in_slice 0 starts with a 1 bit).
        if ((nal & 0x1F) == kNalIdr && frame_.empty() && size > 2 && (payload[2] & 0x80)) {
            InsertParameterSets();
        }
        frame_.insert(frame_.end(), kH264StartCode, kH264StartCode + 3);
        frame_.push_back(nal);
    }
    frame_.insert(frame_.end(), payload + 2, payload + size);
    fuOpen_ = !(header & 0x40);
    return true;
}

bool CH264Depacketizer::AppendPayload(const uint8_t* payload, size_t size) {
    const uint8_t type = size == 0 ? 0 : payload[0] & 0x1F;
    // Any other packet ends a fragmented unit.
    if (type != kNalFuA) fuOpen_ = false;
    bool ok;
    if (type >= 1 && type <= 23) {
        ok = AppendSingle(payload, size);
    } else if (type == kNalStapA) {
        ok = AppendStapA(payload, size);
    } else if (type == kNalFuA) {
        ok = AppendFuA(payload, size);
    } else {
        ok = false;
    }
    if (!ok) {
        Resync();
        return false;
    }
    if (frame_.size() > kMaxFrameBytes) {
        if (hooks_.onOverflow) hooks_.onOverflow();
        Resync();
        return false;
    }
    return true;
}

CH264Depacketizer::Result CH264Depacketizer::FinishFrame() {
    frame_.insert(frame_.end(), kH264DelimiterIntra, kH264DelimiterIntra + 5);
    uint32_t w = 0, h = 0;
    if (ReadSps(frame_, w, h)) {
        width_ = w;
        height_ = h;
        needKeyFrame_ = false;
        frameIsKey_ = true;
    } else {
        frameIsKey_ = false;
        if (needKeyFrame_) {
            frame_.clear();  // nothing a decoder could start from yet
            return Result::kPending;
        }
    }
    frameReady_ = true;
    return Result::kFrameReady;
}

CH264Depacketizer::Result CH264Depacketizer::Process(uint16_t sequence, bool marker,
                                                     uint8_t payloadType, const uint8_t* payload,
                                                     size_t size) {
    if (frameReady_) {
        frame_.clear();
        frameReady_ = false;
    }
    if (!CheckSequence(sequence)) Resync();
    if (payloadType != payloadType_) {
        needKeyFrame_ = true;
        payloadType_ = payloadType;
        LoadParameterSets();
    }
    if (!AppendPayload(payload, size)) return Result::kPending;
    if (frame_.empty() || !marker) return Result::kPending;
    return FinishFrame();
}

CH264Depacketizer::Result CH264Depacketizer::Process(const CRTPPacket& packet) {
    return Process(packet.sequenceNumber, packet.marker != 0, packet.payloadType,
                   packet.payload.data(), packet.payload.size());
}

}  // namespace talvik

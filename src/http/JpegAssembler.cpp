#include "http/JpegAssembler.h"

#include <algorithm>
#include <cstring>

namespace talvik {

namespace {
constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kStuffed = 0x00;  // FF 00 in entropy-coded data is a data byte
constexpr uint8_t kTem = 0x01;
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSof0 = 0xC0;
constexpr uint8_t kSos = 0xDA;

// Markers without a length field besides SOI and EOI (ITU-T T.81 B.1.1.3).
bool StandsAlone(uint8_t code) {
    return code == kTem || (code >= 0xD0 && code <= 0xD7);
}
}  // namespace

void CJpegAssembler::DropOversized() {
    frame_.clear();
    frame_.shrink_to_fit();
    inFrame_ = false;
    state_ = State::kSeekImage;
    if (onOverflow_) onOverflow_();
}

void CJpegAssembler::Abandon() {
    frame_.clear();
    inFrame_ = false;
    state_ = State::kSeekImage;
}

void CJpegAssembler::Append(const uint8_t* data, size_t size) {
    if (!inFrame_ || size == 0) return;
    if (frame_.size() + size > kMaxImageBytes) return DropOversized();
    frame_.insert(frame_.end(), data, data + size);
}

void CJpegAssembler::FinishImage(const uint8_t* image, size_t size) {
    if (imageHasSize_) {
        width_ = imageWidth_;
        height_ = imageHeight_;
    }
    if (width_ != 0 && height_ != 0 && onImage_) onImage_(image, size, width_, height_);
    frame_.clear();
    inFrame_ = false;
}

void CJpegAssembler::OnSegmentMarker(uint8_t code) {
    segment_ = code;
    lengthBytes_ = 0;
    segmentLength_ = 0;
    segmentRead_ = 0;
    state_ = State::kLength;
}

void CJpegAssembler::OnSegmentByte(uint8_t value) {
    frameHeader_[segmentRead_++] = value;
    // Baseline frame header: precision(1), height(2), width(2), ... The first
    // one of the image counts.
    if (segmentRead_ == sizeof(frameHeader_) && !imageHasSize_) {
        imageHeight_ = static_cast<uint32_t>(frameHeader_[1]) << 8 | frameHeader_[2];
        imageWidth_ = static_cast<uint32_t>(frameHeader_[3]) << 8 | frameHeader_[4];
        imageHasSize_ = true;
    }
}

void CJpegAssembler::Feed(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return;
    size_t pos = 0;  // first byte of this chunk not yet appended to the image
    // The current image began in this chunk at pos and nothing of it is held:
    // when it also ends here it is handed over from the chunk, uncopied.
    bool startedHere = false;

    // An image whose D8 is data[c]; its FF is data[c - 1], or ended the
    // previous chunk when c is 0. An image still open is dropped.
    auto beginImage = [&](size_t c) {
        if (c > 0) {
            frame_.clear();
            startedHere = true;
            pos = c - 1;
        } else {
            frame_.assign({kMarker});
            startedHere = false;
            pos = 0;
        }
        inFrame_ = true;
        imageHasSize_ = false;
        state_ = State::kMarker;
    };
    // The image ends with the D9 at data[c].
    auto endImage = [&](size_t c) {
        const size_t stop = c + 1;
        if (!startedHere) {
            Append(data + pos, stop - pos);
            if (inFrame_) FinishImage(frame_.data(), frame_.size());
        } else if (stop - pos > kMaxImageBytes) {
            DropOversized();
        } else {
            FinishImage(data + pos, stop - pos);
        }
        startedHere = false;
        pos = stop;
        state_ = State::kSeekImage;
    };

    size_t i = 0;
    while (i < size) {
        const uint8_t b = data[i];
        switch (state_) {
            case State::kSeekImage:
            case State::kScan:
                if (pendingFF_) {
                    ++i;
                    if (b == kMarker) break;  // fill byte: the marker follows
                    pendingFF_ = false;
                    if (b == kSoi) {
                        beginImage(i - 1);
                    } else if (state_ == State::kSeekImage) {
                        // Text between images.
                    } else if (b == kEoi) {
                        endImage(i - 1);
                    } else if (b != kStuffed && !StandsAlone(b)) {
                        // Tables or the next scan of a progressive image.
                        OnSegmentMarker(b);
                    }
                    break;
                }
                if (const void* hit = std::memchr(data + i, kMarker, size - i)) {
                    i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data) + 1;
                    pendingFF_ = true;
                } else {
                    i = size;
                }
                break;
            case State::kMarker:
                if (!pendingFF_) {
                    if (b != kMarker) {
                        Abandon();  // no JPEG: look for the next image from here
                        break;
                    }
                    pendingFF_ = true;
                    ++i;
                    break;
                }
                ++i;
                if (b == kMarker) break;  // fill byte
                pendingFF_ = false;
                if (b == kSoi) {
                    beginImage(i - 1);
                } else if (b == kEoi) {
                    endImage(i - 1);
                } else if (b == kStuffed) {
                    Abandon();
                } else if (!StandsAlone(b)) {
                    OnSegmentMarker(b);
                }
                break;
            case State::kLength:
                segmentLength_ = segmentLength_ << 8 | b;
                ++i;
                if (++lengthBytes_ < 2) break;
                if (segmentLength_ < 2) {
                    Abandon();
                    break;
                }
                segmentLength_ -= 2;  // the length counts itself
                state_ = State::kSegment;
                break;
            case State::kSegment:
                if (segmentRead_ == segmentLength_) {
                    state_ = segment_ == kSos ? State::kScan : State::kMarker;
                } else if (segment_ == kSof0 && segmentRead_ < sizeof(frameHeader_)) {
                    OnSegmentByte(b);
                    ++i;
                } else {
                    const size_t skip = std::min<size_t>(segmentLength_ - segmentRead_, size - i);
                    segmentRead_ += static_cast<uint32_t>(skip);
                    i += skip;
                }
                break;
        }
    }
    Append(data + pos, size - pos);
}

}  // namespace talvik

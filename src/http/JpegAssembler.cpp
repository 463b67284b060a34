#include "http/JpegAssembler.h"

#include "http/JpegMarkerScan.h"

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
    inFrame_ = false;
    state_ = State::kSeekImage;
    if (onOverflow_) onOverflow_();
}

void CJpegAssembler::Abandon() {
    inFrame_ = false;
    state_ = State::kSeekImage;
}

void CJpegAssembler::FinishImage(const uint8_t* image, size_t size) {
    if (imageHasSize_) {
        width_ = imageWidth_;
        height_ = imageHeight_;
    }
    inFrame_ = false;
    state_ = State::kSeekImage;
    if (width_ != 0 && height_ != 0 && onImage_) onImage_(image, size, width_, height_);
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
    const size_t seen = held_.size();
    if (seen == 0) {
        // Nothing held: the chunk is scanned where it lies, and only what
        // is still needed afterwards is kept.
        const size_t done = Scan(data, size, 0);
        held_.assign(data + done, data + size);
    } else {
        held_.insert(held_.end(), data, data + size);
        const size_t done = Scan(held_.data(), held_.size(), seen);
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(done));
    }
    if (held_.empty()) held_.shrink_to_fit();
}

// Finds the next FF from i; in entropy-coded data FF 00 and the restart
// markers are data and are passed over here. Returns the index after the FF
// (pendingFF_ set), or end.
size_t CJpegAssembler::NextMarker(const uint8_t* data, size_t i, size_t end) {
    const uint8_t* p = data + i;
    const uint8_t* const stop = data + end;
    if (state_ == State::kScan) {
        p = FindEntropyMarker(p, stop);
        if (p == stop) return end;
    } else {
        p = static_cast<const uint8_t*>(std::memchr(p, kMarker, static_cast<size_t>(stop - p)));
        if (p == nullptr) return end;
    }
    pendingFF_ = true;
    return static_cast<size_t>(p - data) + 1;
}

size_t CJpegAssembler::Scan(const uint8_t* data, size_t size, size_t seen) {
    if (data == nullptr || seen >= size) return 0;
    if (seen == 0) {  // a new stream: nothing of an earlier one is held
        inFrame_ = false;
        pendingFF_ = false;
        state_ = State::kSeekImage;
    }
    size_t start = 0;  // first byte of the current image: held[0] when one is open
    // The image whose D8 is data[c]; its FF is data[c - 1], which the caller
    // kept when it ended the last call. An image still open is dropped.
    auto beginImage = [&](size_t c) {
        start = c - 1;
        inFrame_ = true;
        imageHasSize_ = false;
        state_ = State::kMarker;
    };
    // The image ends with the D9 at data[c].
    auto endImage = [&](size_t c) {
        if (c + 1 - start > kMaxImageBytes) return DropOversized();
        FinishImage(data + start, c + 1 - start);
    };

    size_t i = seen;
    while (i < size) {
        // An image never grows past the cap: the walk stops at it.
        if (inFrame_ && i - start > kMaxImageBytes) {
            DropOversized();
            continue;
        }
        const size_t end = inFrame_ ? std::min(size, start + kMaxImageBytes + 1) : size;
        const uint8_t b = data[i];
        switch (state_) {
            case State::kSeekImage:
            case State::kScan:
                if (pendingFF_) {
                    ++i;
                    if (b == kMarker) break;  // fill byte: the marker follows
                    pendingFF_ = false;
                    if (b == kSoi && i >= 2) {
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
                i = NextMarker(data, i, end);
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
                if (b == kSoi && i >= 2) {
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
                    const size_t skip = std::min<size_t>(segmentLength_ - segmentRead_, end - i);
                    segmentRead_ += static_cast<uint32_t>(skip);
                    i += skip;
                }
                break;
        }
    }
    if (inFrame_ && size - start > kMaxImageBytes) DropOversized();
    if (inFrame_) return start;
    // A marker's FF at the very end may begin the next image.
    return pendingFF_ ? size - 1 : size;
}

}  // namespace talvik

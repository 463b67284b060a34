#include "http/JpegAssembler.h"

#include <cstring>

namespace talvik {

namespace {
constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSof0 = 0xC0;
}  // namespace

void CJpegAssembler::DropOversized() {
    frame_.clear();
    frame_.shrink_to_fit();
    inFrame_ = false;
    if (onOverflow_) onOverflow_();
}

void CJpegAssembler::Append(const uint8_t* data, size_t size) {
    if (!inFrame_ || size == 0) return;
    if (frame_.size() + size > kMaxImageBytes) return DropOversized();
    frame_.insert(frame_.end(), data, data + size);
}

void CJpegAssembler::ReadFrameSize(const uint8_t* p, size_t n) {
    // The baseline start-of-frame header: FF C0, length(2), precision(1),
    // height(2), width(2). Searched in the whole image, so a header that
    // straddles two chunks is still read.
    size_t i = 0;
    while (i + 8 < n) {
        const void* hit = std::memchr(p + i, kMarker, n - 8 - i);
        if (hit == nullptr) return;
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
        if (p[i + 1] == kSof0) {
            height_ = static_cast<uint32_t>(p[i + 5]) << 8 | p[i + 6];
            width_ = static_cast<uint32_t>(p[i + 7]) << 8 | p[i + 8];
            return;
        }
        ++i;
    }
}

void CJpegAssembler::FinishImage(const uint8_t* image, size_t size) {
    ReadFrameSize(image, size);
    if (width_ != 0 && height_ != 0 && onImage_) onImage_(image, size, width_, height_);
    frame_.clear();
    inFrame_ = false;
}

void CJpegAssembler::Feed(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return;
    size_t pos = 0;  // first byte of this chunk not yet appended to the image
    // The current image began in this chunk at pos and nothing of it is held:
    // when it also ends here it is handed over from the chunk, uncopied.
    bool startedHere = false;

    // A marker whose 0xFF ended the previous chunk.
    if (lastWasFF_) {
        lastWasFF_ = false;
        if (data[0] == kSoi) {
            frame_.assign({kMarker, kSoi});
            inFrame_ = true;
            pos = 1;
        } else if (data[0] == kEoi && inFrame_) {
            Append(data, 1);
            if (inFrame_) FinishImage(frame_.data(), frame_.size());
            pos = 1;
        }
    }

    size_t i = pos;
    while (i < size) {
        const void* hit = std::memchr(data + i, kMarker, size - i);
        if (hit == nullptr) break;
        const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        if (at + 1 >= size) {
            lastWasFF_ = true;
            break;
        }
        const uint8_t code = data[at + 1];
        if (code == kSoi) {
            frame_.clear();
            inFrame_ = true;
            startedHere = true;
            pos = at;
            i = at + 2;
            continue;
        }
        if (code == kEoi && inFrame_) {
            const size_t length = at + 2 - pos;
            if (!startedHere) {
                Append(data + pos, length);
                if (inFrame_) FinishImage(frame_.data(), frame_.size());
            } else if (length > kMaxImageBytes) {
                DropOversized();
            } else {
                FinishImage(data + pos, length);
            }
            startedHere = false;
            pos = at + 2;
            i = at + 2;
            continue;
        }
        i = at + 1;
    }
    Append(data + pos, size - pos);
}

}  // namespace talvik

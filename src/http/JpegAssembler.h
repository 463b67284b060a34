// Cuts JPEG images out of an unbounded byte stream (a multipart MJPEG body or
// single pictures) by their start- and end-of-image markers. Multipart
// headers and boundaries are never interpreted; only the markers delimit
// images. Markers split across chunks are recognised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace talvik {

class CJpegAssembler {
public:
    // An image of exactly this many bytes is still accepted.
    static constexpr size_t kMaxImageBytes = 10485760;

    // Called for each complete image whose size is known (from its own
    // baseline start-of-frame header, or from an earlier image of the stream).
    using ImageSink =
        std::function<void(const uint8_t* data, size_t size, uint32_t width, uint32_t height)>;
    // Called when an image grows beyond kMaxImageBytes; the image is dropped.
    using OverflowSink = std::function<void()>;

    CJpegAssembler(ImageSink onImage, OverflowSink onOverflow)
        : onImage_(std::move(onImage)), onOverflow_(std::move(onOverflow)) {}

    void Feed(const uint8_t* data, size_t size);

    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    bool InFrame() const { return inFrame_; }
    size_t Buffered() const { return frame_.size(); }

private:
    void Append(const uint8_t* data, size_t size);
    void DropOversized();
    // Delivers the image (held in frame_, or wholly inside the chunk fed).
    void FinishImage(const uint8_t* image, size_t size);
    void ReadFrameSize(const uint8_t* image, size_t size);

    ImageSink onImage_;
    OverflowSink onOverflow_;
    std::vector<uint8_t> frame_;
    bool inFrame_ = false;
    bool lastWasFF_ = false;  // the previous chunk ended in 0xFF
    uint32_t width_ = 0;
    uint32_t height_ = 0;
};

}  // namespace talvik

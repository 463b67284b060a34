// Cuts JPEG images out of an unbounded byte stream (a multipart MJPEG body or
// single pictures). Multipart headers and boundaries are never interpreted:
// an image starts at a start-of-image marker, its marker segments are walked
// by their lengths up to the start of scan, and it ends at the first
// end-of-image marker in the entropy-coded data. Marker bytes inside a
// segment (an EXIF thumbnail with its own SOI ... EOI, FF C0 in an ICC
// profile) therefore neither end the image nor give it a size. Markers split
// across chunks are recognised.
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

    // Scans bytes that the caller holds: held[0, size) of which the first
    // `seen` were scanned by the previous call (0: a new stream). Resumes
    // where that call stopped and hands a complete image over from held,
    // uncopied. Returns how many bytes at the front are no longer needed; the
    // caller drops exactly those before the next call, so that an image
    // being received always starts at held[0].
    size_t Scan(const uint8_t* held, size_t size, size_t seen);
    // The same for a stream fed in chunks that the caller does not keep: the
    // bytes still needed are copied and held here.
    void Feed(const uint8_t* data, size_t size);

    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    bool InFrame() const { return inFrame_; }
    size_t Buffered() const { return held_.size(); }

private:
    // Where the walk stands.
    enum class State {
        kSeekImage,  // outside an image: looking for FF D8
        kMarker,     // between segments: a marker (after fill bytes) is due
        kLength,     // reading a segment's 16-bit length
        kSegment,    // skipping a segment's payload
        kScan,       // entropy-coded data: looking for EOI
    };

    size_t NextMarker(const uint8_t* data, size_t i, size_t end);
    void DropOversized();
    // The walk met bytes no JPEG has: the image is dropped.
    void Abandon();
    void FinishImage(const uint8_t* image, size_t size);
    // A segment with this marker code begins: its length follows.
    void OnSegmentMarker(uint8_t code);
    // One byte of a segment payload that the walk must see (the size fields
    // of a baseline start of frame).
    void OnSegmentByte(uint8_t value);

    ImageSink onImage_;
    OverflowSink onOverflow_;
    std::vector<uint8_t> held_;  // Feed's bytes still needed
    bool inFrame_ = false;
    bool pendingFF_ = false;  // the byte before the next one read was 0xFF

    State state_ = State::kSeekImage;
    uint8_t segment_ = 0;          // marker code of the segment being read
    uint32_t lengthBytes_ = 0;     // length bytes read so far
    uint32_t segmentLength_ = 0;   // payload bytes of the segment (length - 2)
    uint32_t segmentRead_ = 0;     // payload bytes passed so far
    uint8_t frameHeader_[5] = {};  // precision, height, width of a baseline SOF
    bool imageHasSize_ = false;
    uint32_t imageWidth_ = 0;
    uint32_t imageHeight_ = 0;

    uint32_t width_ = 0;
    uint32_t height_ = 0;
};

}  // namespace talvik

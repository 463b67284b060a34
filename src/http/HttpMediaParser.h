// Parsers that turn the body of a camera's HTTP video response into host
// frames: JPEG pictures cut out of an MJPEG stream or single images, and
// single H.264 key frames. They only see bytes; the channel feeds them from
// its capture thread and receives the filled frames through IMediaReceiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Driver.h"
#include "http/JpegAssembler.h"
#include "talvik/HostFrame.h"

namespace talvik {

// Implemented by the HTTP channel that owns the parser.
class IMediaReceiver {
public:
    virtual ~IMediaReceiver() = default;
    // Hands a filled frame to the host; false when it was not accepted.
    virtual bool ReceiveFrame(IHostFrame* frame) = 0;
    // The stream name given to the host's allocator with every new frame.
    virtual std::string GetStreamName() = 0;
};

class CHttpMediaParser {
public:
    // driver: non-owning, outlives the parser (logging, device, allocator).
    explicit CHttpMediaParser(IDriver* driver) : driver_(driver) {}
    virtual ~CHttpMediaParser() = default;
    CHttpMediaParser(const CHttpMediaParser&) = delete;
    CHttpMediaParser& operator=(const CHttpMediaParser&) = delete;

    // Consumes one chunk of the response body; may append to it.
    virtual void ParseData(std::vector<uint8_t>& data) = 0;
    // The same for a chunk the parser may not change; parsers that never
    // append take it as it is, the others get a copy.
    virtual void ParseBytes(const uint8_t* data, size_t size);
    // The same for bytes the caller holds until the parser is done with them
    // (see CJpegAssembler::Scan): held[0, size), the first `seen` of them
    // parsed before. Returns how many bytes at the front the caller may drop.
    virtual size_t ParseHeld(const uint8_t* held, size_t size, size_t seen);

    void SetReceiver(IMediaReceiver* receiver) { receiver_ = receiver; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

protected:
    // How a frame is filled: JPEG sets the fields before copying the bytes,
    // H.264 copies first.
    enum class FillOrder { kFieldsFirst, kBytesFirst };

    // Hands data with the current picture size to the receiver in a host
    // frame. Drops the data when there is no allocator, receiver or frame.
    // Never throws.
    void DeliverFrame(uint32_t fourcc, const uint8_t* data, size_t size, FillOrder order);

    IDriver* driver_;
    IMediaReceiver* receiver_ = nullptr;
    uint32_t width_ = 0;
    uint32_t height_ = 0;

private:
    void LogCopyError();
};

// JPEG pictures delimited by their start- and end-of-image markers, across
// any chunking, each at most CJpegAssembler::kMaxImageBytes.
class CJpegMediaParser : public CHttpMediaParser {
public:
    explicit CJpegMediaParser(IDriver* driver);
    void ParseData(std::vector<uint8_t>& data) override;
    void ParseBytes(const uint8_t* data, size_t size) override;
    size_t ParseHeld(const uint8_t* held, size_t size, size_t seen) override;

    bool InFrame() const { return assembler_.InFrame(); }

private:
    void OnOverflow();

    CJpegAssembler assembler_;
};

// One chunk = one complete H.264 access unit that starts with its sequence
// parameter set (a key frame fetched on its own) and holds a coded slice of
// an IDR picture; other chunks are dropped. Nothing is kept between chunks.
class CH264MediaParser : public CHttpMediaParser {
public:
    // Larger chunks are dropped: a key frame never comes near this, and the
    // host's frame sizes are 32-bit.
    static constexpr size_t kMaxAccessUnitBytes = 16 * 1024 * 1024;

    explicit CH264MediaParser(IDriver* driver) : CHttpMediaParser(driver) {}
    void ParseData(std::vector<uint8_t>& data) override;

private:
    bool oversizeLogged_ = false;
    bool sliceMissingLogged_ = false;  // in the current run of such chunks
};

}  // namespace talvik

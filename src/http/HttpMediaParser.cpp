#include "http/HttpMediaParser.h"

#include <cstring>

#include "ThreadCancel.h"
#include "base/FrameContract.h"
#include "base/FrameDelivery.h"
#include "media/SpsReader.h"

namespace talvik {

void CHttpMediaParser::LogCopyError() {
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    driver_->DebugMessage(kLevelError, "%s: Data copying error, device %s:%u",
                          "talvik::CHttpMediaParser::DeliverFrame",
                          device != nullptr ? device->address.c_str() : "",
                          device != nullptr ? static_cast<unsigned>(device->port) : 0u);
}

void CHttpMediaParser::ParseBytes(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return;
    std::vector<uint8_t> chunk(data, data + size);
    ParseData(chunk);
}

size_t CHttpMediaParser::ParseHeld(const uint8_t* held, size_t size, size_t seen) {
    if (seen < size) ParseBytes(held + seen, size - seen);
    return size;
}

void CHttpMediaParser::DeliverFrame(uint32_t fourcc, const uint8_t* data, size_t size,
                                    FillOrder order) {
    if (driver_ == nullptr || receiver_ == nullptr) return;
    FrameOutcome outcome = FrameOutcome::kFailed;
    try {
        const std::string name = receiver_->GetStreamName();
        FrameFields fields;
        fields.fourcc = fourcc;
        fields.width = width_;
        fields.height = height_;
        fields.resolutionClass = ResolutionClass(width_, height_);
        fields.bytesFirst = order == FillOrder::kBytesFirst;
        outcome =
            DeliverHostFrame(driver_->GetHostContext(), name.c_str(), data, size, fields,
                             [this](IHostFrame* frame) { return receiver_->ReceiveFrame(frame); });
    } catch (...) {  // the stream name, from the host's driver
        RethrowThreadCancellation();
    }
    if (outcome == FrameOutcome::kCopyFailed) return LogCopyError();
    if (outcome == FrameOutcome::kFailed)
        driver_->DebugMessage(kLevelError, "%s(): Unexpected exception, device %s",
                              "talvik::CHttpMediaParser::DeliverFrame",
                              driver_->GetSourceName().c_str());
}

CJpegMediaParser::CJpegMediaParser(IDriver* driver)
    : CHttpMediaParser(driver),
      assembler_(
          [this](const uint8_t* data, size_t size, uint32_t width, uint32_t height) {
              width_ = width;
              height_ = height;
              DeliverFrame(kFourCCJpeg, data, size, FillOrder::kFieldsFirst);
          },
          [this] { OnOverflow(); }) {}

void CJpegMediaParser::ParseData(std::vector<uint8_t>& data) {
    assembler_.Feed(data.data(), data.size());
}

void CJpegMediaParser::ParseBytes(const uint8_t* data, size_t size) {
    assembler_.Feed(data, size);
}

size_t CJpegMediaParser::ParseHeld(const uint8_t* held, size_t size, size_t seen) {
    return assembler_.Scan(held, size, seen);
}

void CJpegMediaParser::OnOverflow() {
    if (driver_ == nullptr) return;
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    driver_->DebugMessage(kLevelError, "%s Frame buffer overflow detected, %s:%u",
                          "talvik::CHttpMediaParser::CheckBufferSize",
                          device != nullptr ? device->address.c_str() : "",
                          device != nullptr ? static_cast<unsigned>(device->port) : 0u);
}

namespace {

// Whether the bytes hold a NAL unit of type 5 (a coded slice of an IDR
// picture) after a start code: without one a key frame has no picture.
bool HasIdrSlice(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 5)
            return true;
    }
    return false;
}

}  // namespace

void CH264MediaParser::ParseData(std::vector<uint8_t>& data) {
    if (data.empty() || data.size() > kMaxAccessUnitBytes) return;
    if (driver_ == nullptr || driver_->GetHostContext() == nullptr) return;
    // Appended to every frame, so that a decoder fed the frames back to back
    // sees where each one ends.
    data.insert(data.end(), std::begin(kH264DelimiterIntraOrP), std::end(kH264DelimiterIntraOrP));
    uint32_t width = 0;
    uint32_t height = 0;
    const SpsSize found = ReadSpsSize(data.data(), data.size(), width, height);
    if (found == SpsSize::kOversized && !oversizeLogged_) {
        // A camera that sends one such frame sends them all: once is enough.
        oversizeLogged_ = true;
        const DEVICE_INFO* device = driver_->GetDeviceInfo();
        driver_->DebugMessage(kLevelWarning,
                              "%s: Picture size %ux%u is beyond %u pixels on a side, device %s:%u",
                              "talvik::CH264MediaParser::ParseData", width, height, kMaxPictureSide,
                              device != nullptr ? device->address.c_str() : "",
                              device != nullptr ? static_cast<unsigned>(device->port) : 0u);
    }
    if (found != SpsSize::kDecoded) return;
    const size_t size = data.size() - sizeof(kH264DelimiterIntraOrP);
    if (!HasIdrSlice(data.data(), size)) {
        // A body cut short (a Content-Length that lies, a camera that gives
        // up): its parameter sets decode, but a decoder gets no picture.
        // Told once per run of them.
        if (!sliceMissingLogged_) {
            sliceMissingLogged_ = true;
            const DEVICE_INFO* device = driver_->GetDeviceInfo();
            driver_->DebugMessage(
                kLevelWarning,
                "%s: Key frame of %u bytes without a coded slice of an IDR picture dropped, "
                "device %s:%u",
                "talvik::CH264MediaParser::ParseData", static_cast<unsigned>(size),
                device != nullptr ? device->address.c_str() : "",
                device != nullptr ? static_cast<unsigned>(device->port) : 0u);
        }
        return;
    }
    sliceMissingLogged_ = false;
    width_ = width;
    height_ = height;
    DeliverFrame(kFourCCH264, data.data(), data.size(), FillOrder::kBytesFirst);
}

}  // namespace talvik

#include "rtsp/RTPMediaParser.h"

#include <cstring>

#include "ThreadCancel.h"
#include "base/FrameContract.h"
#include "base/FrameDelivery.h"
#include "media/SpsReader.h"

namespace talvik {

CRTPMediaParser::CRTPMediaParser(IDriver* driver, bool logRtpSequence, std::string name)
    : driver_(driver), name_(std::move(name)), logRtpSequence_(logRtpSequence) {}

void CRTPMediaParser::LogSequenceError(uint16_t previous, uint16_t received) {
    if (!logRtpSequence_ || driver_ == nullptr) return;
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    // The difference of the 16-bit numbers, read as signed.
    const int32_t diff = static_cast<int16_t>(static_cast<uint16_t>(received - previous));
    driver_->DebugMessage(
        kLevelError,
        "Device %s:%u, packet sequence number is incorrect, expected: %u, received: %u, diff: %d",
        device != nullptr ? device->address.c_str() : "",
        device != nullptr ? unsigned(device->port) : 0u, unsigned(previous), unsigned(received),
        int(diff));
}

void CRTPMediaParser::LogOverflow() {
    if (driver_ == nullptr) return;
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    driver_->DebugMessage(kLevelError, "%s Frame buffer overflow detected, %s:%u",
                          "talvik::CRTPMediaParser::CheckBufferSize",
                          device != nullptr ? device->address.c_str() : "",
                          device != nullptr ? unsigned(device->port) : 0u);
}

CH264RTPMediaParser::CH264RTPMediaParser(IDriver* driver, bool logRtpSequence, std::string name)
    : CRTPMediaParser(driver, logRtpSequence, std::move(name)),
      depacketizer_(
          {[this](uint16_t previous, uint16_t received) { LogSequenceError(previous, received); },
           [this] { LogOverflow(); },
           [this](uint32_t width, uint32_t height) { LogOversizedPicture(width, height); }}) {}

void CH264RTPMediaParser::LogOversizedPicture(uint32_t width, uint32_t height) {
    // A camera that sends one such SPS sends it with every key frame.
    if (oversizeLogged_ || driver_ == nullptr) return;
    oversizeLogged_ = true;
    const DEVICE_INFO* device = driver_->GetDeviceInfo();
    driver_->DebugMessage(kLevelWarning,
                          "%s: Picture size %ux%u is beyond %u pixels on a side, device %s:%u",
                          "talvik::CH264RTPMediaParser::ProcessPacket", width, height,
                          kMaxPictureSide, device != nullptr ? device->address.c_str() : "",
                          device != nullptr ? unsigned(device->port) : 0u);
}

void CH264RTPMediaParser::SetParameterSets(const std::vector<H264ParameterSetEntry>& sets) {
    CRTPMediaParser::SetParameterSets(sets);
    depacketizer_.SetParameterSets(sets);
}

void CH264RTPMediaParser::Resync() {
    depacketizer_.Resync();
}

void CH264RTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
    try {
        // The starting size counts when a payload type (re)loads the sets.
        if (client_ != nullptr) {
            const auto size = client_->GetDefaultResolution();
            depacketizer_.SetDefaultResolution(size.first, size.second);
        }
        if (depacketizer_.Process(packet) == CH264Depacketizer::Result::kFrameReady) {
            DeliverFrame(packet.timestamp);
        }
    } catch (...) {
        RethrowThreadCancellation();
    }
}

void CH264RTPMediaParser::DeliverFrame(uint32_t rtpTimestamp) {
    IHostFrameAllocator* allocator = driver_ != nullptr ? driver_->GetHostContext() : nullptr;
    const std::vector<uint8_t>& data = depacketizer_.Frame();
    if (allocator == nullptr || client_ == nullptr || data.empty()) return;
    HostSystemTime hostTime{};
    client_->ConvertTimestamp(rtpTimestamp, &hostTime);
    FrameFields fields;
    fields.fourcc = depacketizer_.FrameIsKey() ? kFourCCH264 : kFourCCI264;
    fields.width = depacketizer_.Width();
    fields.height = depacketizer_.Height();
    fields.resolutionClass = ResolutionClass(fields.width, fields.height);
    fields.time = &hostTime;
    fields.bytesFirst = true;
    const std::string streamName = client_->GetStreamName();
    const FrameOutcome outcome =
        DeliverHostFrame(allocator, streamName.c_str(), data.data(), data.size(), fields,
                         [this](IHostFrame* frame) { return client_->OnMediaFrame(frame); });
    if (outcome == FrameOutcome::kCopyFailed) {
        const DEVICE_INFO* device = driver_->GetDeviceInfo();
        driver_->DebugMessage(kLevelError, "%s: Data copying error, device %s:%u",
                              "talvik::CH264RTPMediaParser::ProcessFrame",
                              device != nullptr ? device->address.c_str() : "",
                              device != nullptr ? unsigned(device->port) : 0u);
    }
    if (outcome != FrameOutcome::kDelivered && outcome != FrameOutcome::kNoFrame) Resync();
}

}  // namespace talvik

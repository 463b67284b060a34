// Turns the RTP packets of one H.264 stream (single NAL units, STAP-A and
// FU-A, RFC 6184) into Annex B access units with 3-byte start codes. A frame
// ends at the marker bit. Any sequence gap, unsupported packetisation or
// malformed packet drops the frame in progress and waits for the next key
// frame. No sockets, no threads, no host objects: the RTP media parser wraps
// it and hands finished frames to the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "rtsp/RTPPacket.h"
#include "rtsp/SDPResponseParser.h"

namespace talvik {

class CH264Depacketizer {
public:
    static constexpr size_t kMaxFrameBytes = 10485760;

    struct Hooks {
        // A packet whose number is not the previous one + 1.
        std::function<void(uint16_t previous, uint16_t received)> onSequenceError;
        // The frame grew past kMaxFrameBytes and was dropped.
        std::function<void()> onOverflow;
        // An SPS gave a picture larger than any H.264 level allows; it was
        // taken as no SPS.
        std::function<void(uint32_t width, uint32_t height)> onOversizedPicture;
    };

    enum class Result {
        kPending,     // frame continues (or packet dropped): nothing to deliver
        kFrameReady,  // Frame() holds a finished access unit
    };

    explicit CH264Depacketizer(Hooks hooks = {}) : hooks_(std::move(hooks)) {}

    void SetParameterSets(std::vector<H264ParameterSetEntry> sets) { sets_ = std::move(sets); }
    void SetDefaultResolution(uint32_t width, uint32_t height) {
        defaultWidth_ = width;
        defaultHeight_ = height;
    }

    Result Process(const CRTPPacket& packet);
    Result Process(uint16_t sequence, bool marker, uint8_t payloadType, const uint8_t* payload,
                   size_t size);

    // Drops the frame in progress and waits for the next key frame; the
    // stored SPS, PPS and payload type are kept.
    void Resync();

    // The finished frame of the last kFrameReady, ending with an access unit
    // delimiter; valid until the next Process or Resync.
    const std::vector<uint8_t>& Frame() const { return frame_; }
    // True when the frame starts with a decodable sequence parameter set.
    bool FrameIsKey() const { return frameIsKey_; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    bool NeedKeyFrame() const { return needKeyFrame_; }

private:
    bool CheckSequence(uint16_t sequence);
    void LoadParameterSets();
    // Decodes the picture size; an oversized one goes to the hook.
    bool ReadSps(const std::vector<uint8_t>& data, uint32_t& width, uint32_t& height);
    bool AppendPayload(const uint8_t* payload, size_t size);
    bool AppendSingle(const uint8_t* payload, size_t size);
    bool AppendStapA(const uint8_t* payload, size_t size);
    bool AppendFuA(const uint8_t* payload, size_t size);
    void InsertParameterSets();
    void AppendNal(const uint8_t* data, size_t size);
    Result FinishFrame();

    Hooks hooks_;
    std::vector<H264ParameterSetEntry> sets_;
    std::vector<uint8_t> frame_;
    std::vector<uint8_t> sps_, pps_;
    uint32_t defaultWidth_ = 0, defaultHeight_ = 0;
    uint32_t width_ = 0, height_ = 0;
    uint32_t payloadType_ = 0;
    uint16_t lastSequence_ = 0;
    bool firstPacket_ = true;
    bool needKeyFrame_ = true;
    bool frameIsKey_ = false;
    bool frameReady_ = false;  // frame_ holds a delivered frame: start afresh
    bool fuOpen_ = false;      // an FU-A unit has begun and not ended
};

}  // namespace talvik

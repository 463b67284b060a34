// The video capture object: for every video input a small table of running
// channels, one per stream kind plus the recording stream's auxiliary channel.
// Starting a stream asks the driver for the right channel, starts it and
// files it; stopping takes it out and destroys it (outside the table lock,
// because stopping waits for the capture thread, which may call the host).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/Lock.h"
#include "channels/CameraChannel.h"
#include "driver/VideoChannelCreator.h"
#include "talvik/IPVideoCapture.h"

namespace talvik {

// 16-bit interval whose top two bits give the unit (ms, s, min, h) and whose
// low 14 bits the count.
uint32_t DecodeFrameInterval(uint16_t encoded);

class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx2 {
public:
    CIPVideoCapture(IVideoChannelCreator* creator, uint32_t videoInputCount);
    ~CIPVideoCapture() override;

    CIPVideoCapture(const CIPVideoCapture&) = delete;
    CIPVideoCapture& operator=(const CIPVideoCapture&) = delete;

    uint32_t GetVideoInputCount() override;
    bool StartVideo(uint32_t videoInput, IHostFrameSink* sink,
                    IHostStreamSettings* settings) override;
    bool StopVideo(uint32_t videoInput) override;
    bool UpdateVideo(uint32_t videoInput, IHostFrameSize* size, uint32_t frameIntervalMs) override;
    uint32_t ReservedVideoA() override { return 0; }
    bool GetVideoStatus(uint32_t videoInput, uint32_t* status, uint32_t* second, char* text,
                        uint32_t textSize) override;
    bool ReservedVideoB(uintptr_t, uintptr_t) override { return false; }
    bool ReservedVideoC(uintptr_t, uintptr_t) override { return false; }
    bool ResumeVideo(uint32_t videoInput) override;
    bool PauseVideo(uint32_t videoInput) override;
    bool StartStream(uint32_t videoInput, uint32_t kind, IHostFrameSink* sink,
                     IHostStreamSettings* settings) override;
    bool StopStream(uint32_t videoInput, uint32_t kind) override;

    // Reads the host's settings into a record; false when an object is missing.
    // encodedInterval: the frame interval carries a unit (StartVideo).
    static bool ReadStreamSettings(IHostStreamSettings* settings, bool encodedInterval,
                                   uint32_t kind, STREAM_PARAMS* out);

private:
    // Slots 0 to 2 by stream kind; slot 3 is never used.
    static constexpr size_t kStreamSlots = 4;
    struct Entry {
        std::array<std::unique_ptr<ICameraChannel>, kStreamSlots> streams;
        std::unique_ptr<IAuxiliaryChannel> auxiliary;
    };

    // The recording channel of input, or null; call with the table lock held
    // and use it only while the lock is held, so that a concurrent stop cannot
    // destroy it under the caller.
    ICameraChannel* RecordingChannelLocked(uint32_t videoInput);

    IVideoChannelCreator* creator_;
    CLock lock_;
    std::vector<Entry> table_;
};

}  // namespace talvik

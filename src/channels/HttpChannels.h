// The two HTTP channels: JPEG (MJPEG stream, or single images when slower
// than one per second) and H.264 key frames fetched one by one.
#pragma once

#include <cstdint>
#include <vector>

#include "channels/BaseHttpChannel.h"

namespace talvik {

class CJpegHttpChannel : public CBaseHttpChannel {
public:
    CJpegHttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
    ~CJpegHttpChannel() override;

protected:
    // Cropping first when asked for, then the MJPEG stream request; its HTTP
    // status is not judged (an error answer simply yields no picture).
    bool OpenStream() override;
    bool FetchSnapshot(std::vector<uint8_t>& picture) override;
};

class CH264HttpChannel : public CBaseHttpChannel {
public:
    CH264HttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink);
    ~CH264HttpChannel() override;

protected:
    // Only cropping: key frames are fetched one request each.
    bool OpenStream() override;
    bool FetchSnapshot(std::vector<uint8_t>& picture) override;
};

}  // namespace talvik

#include "channels/HttpChannels.h"

namespace talvik {

CJpegHttpChannel::CJpegHttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink)
    : CBaseHttpChannel(videoInput, driver, sink, new CJpegMediaParser(driver)) {}

CJpegHttpChannel::~CJpegHttpChannel() {
    Stop();
}

bool CJpegHttpChannel::OpenStream() {
    EnableCroppingIfAsked();
    return RequestStream(BuildUrl(kUrlMjpegStream));
}

bool CJpegHttpChannel::FetchSnapshot(std::vector<uint8_t>& picture) {
    return FetchPicture(BuildUrl(kUrlJpegImage), picture);
}

CH264HttpChannel::CH264HttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink)
    : CBaseHttpChannel(videoInput, driver, sink, new CH264MediaParser(driver)) {}

CH264HttpChannel::~CH264HttpChannel() {
    Stop();
}

bool CH264HttpChannel::OpenStream() {
    EnableCroppingIfAsked();
    return true;
}

bool CH264HttpChannel::FetchSnapshot(std::vector<uint8_t>& picture) {
    return FetchPicture(BuildUrl(kUrlH264KeyFrame), picture);
}

}  // namespace talvik

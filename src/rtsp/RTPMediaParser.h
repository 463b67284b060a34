// Media parsers of RTP streams: turn the packets of one stream into whole
// frames in the host's frame objects. The H.264 parser wraps the pure
// depacketiser and adds what needs the host: messages, the frame allocator,
// the frame's fields and the wall-clock time of the client.
//
// A parser is driven by one thread at a time and takes no locks; its client
// is called on that thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/Driver.h"
#include "base/Time.h"
#include "rtsp/H264Depacketizer.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/SDPResponseParser.h"

namespace talvik {

class IMediaParserClient {
public:
    virtual ~IMediaParserClient() = default;
    // A filled frame for the host; false counts as a failed delivery.
    virtual bool OnMediaFrame(IHostFrame* frame) = 0;
    // (width, height) of the stream before its SPS is decoded.
    virtual std::pair<uint32_t, uint32_t> GetDefaultResolution() = 0;
    virtual std::string GetStreamName() = 0;
    // Wall-clock time of an RTP timestamp of the stream.
    virtual void ConvertTimestamp(uint32_t rtpTimestamp, HostSystemTime* out) = 0;
};

class CRTPMediaParser {
public:
    // logRtpSequence: write a message for every gap in the sequence numbers.
    CRTPMediaParser(IDriver* driver, bool logRtpSequence, std::string name);
    virtual ~CRTPMediaParser() = default;
    CRTPMediaParser(const CRTPMediaParser&) = delete;
    CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

    // Never throws.
    virtual void ProcessPacket(const CRTPPacket& packet) = 0;
    // Drops the frame in progress and waits for the next key frame.
    virtual void Resync() = 0;

    void SetClient(IMediaParserClient* client) { client_ = client; }
    virtual void SetParameterSets(const std::vector<H264ParameterSetEntry>& sets) {
        parameterSets_ = sets;
    }
    const std::string& Name() const { return name_; }

protected:
    void LogSequenceError(uint16_t previous, uint16_t received);
    void LogOverflow();

    IDriver* driver_;  // not owned
    std::string name_;
    IMediaParserClient* client_ = nullptr;  // not owned
    bool logRtpSequence_ = false;
    std::vector<H264ParameterSetEntry> parameterSets_;
};

class CH264RTPMediaParser : public CRTPMediaParser {
public:
    CH264RTPMediaParser(IDriver* driver, bool logRtpSequence, std::string name = "H264");

    void ProcessPacket(const CRTPPacket& packet) override;
    void Resync() override;
    void SetParameterSets(const std::vector<H264ParameterSetEntry>& sets) override;

    // For tests: the depacketiser's view.
    bool NeedKeyFrame() const { return depacketizer_.NeedKeyFrame(); }

private:
    void DeliverFrame(uint32_t rtpTimestamp);
    void LogOversizedPicture(uint32_t width, uint32_t height);

    CH264Depacketizer depacketizer_;
    bool oversizeLogged_ = false;
};

}  // namespace talvik

// Video over plain HTTP requests: an MJPEG stream read continuously, or one
// request per picture (single JPEG images, single H.264 key frames) when the
// stream is slower than one frame per second. The capture thread owns the
// sender and the parser; the host's threads reach the body only through the
// stop and parameters-changed events.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Settings.h"
#include "channels/BaseCameraChannel.h"
#include "channels/CameraPreparation.h"
#include "http/HttpMediaParser.h"
#include "http/HttpSender.h"
#include "http/StreamUrl.h"

namespace talvik {

class CBaseHttpChannel : public CBaseCameraChannel, public IMediaReceiver {
public:
    // Most bytes read from the stream per pass of the stream loop: all the
    // sender holds, so that a picture costs few passes.
    static constexpr uint32_t kReadChunkBytes = Web::CHttpSender::kReadBufferCap;
    // A picture stays in the sender until it is complete (plus a receive
    // piece or two behind it).
    static_assert(CJpegAssembler::kMaxImageBytes + 2 * Web::IHttpTransfer::kMaxBodyPiece <=
                      Web::CHttpSender::kReadBufferCap,
                  "the sender must hold the largest picture while it arrives");
    // Wait after a lost signal before the camera is asked again.
    static constexpr uint32_t kLostRetryMs = 5000;
    // Wait before asking again after a pass that brought no frame (a refused
    // or empty answer), so that such a camera is not hammered in a tight loop.
    static constexpr uint32_t kNoFrameRetryMs = 1000;
    // Largest single picture a snapshot request may return.
    static constexpr size_t kMaxSnapshotBytes = 16 * 1024 * 1024;

    // Takes ownership of parser and becomes its receiver.
    CBaseHttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink,
                     CHttpMediaParser* parser);
    ~CBaseHttpChannel() override;

    void Run() override;
    // Wakes a capture thread blocked in a request, so that a stop never waits
    // for the device's time-out.
    void OnStopping() override;

    bool ReceiveFrame(IHostFrame* frame) override;
    std::string GetStreamName() override;

protected:
    // Prepares the camera and, for a continuous stream, sends the stream request.
    virtual bool OpenStream() = 0;
    // Fetches one picture into picture; false when there is none.
    virtual bool FetchSnapshot(std::vector<uint8_t>& picture);
    // GET of path with the body read, at most kMaxSnapshotBytes and within the
    // longer of the frame interval and the data time-out; true on a 2xx
    // status with a whole, non-empty body. The body's storage is charged to
    // the process's buffer budget until the picture has been handed on; a
    // picture the budget has no room for is dropped.
    bool FetchPicture(const std::string& path, std::vector<uint8_t>& picture);
    // Sends the stream request; true only when the camera answered with a
    // 2xx status. A refusal or a broken answer is logged with its cause, once
    // until the cause changes or a stream opens.
    bool RequestStream(const std::string& path);
    void EnableCroppingIfAsked() { talvik::EnableCroppingIfAsked(*Driver(), camera_); }
    std::string BuildUrl(uint32_t kind) const { return BuildStreamUrl(urlConfig_, Params(), kind); }

    Web::CHttpSender sender_;
    CHttpCameraRequest camera_{sender_};  // the camera preparation's requests
    std::unique_ptr<CHttpMediaParser> parser_;
    StreamUrlConfig urlConfig_;

private:
    enum Outcome : int { kOutcomeStop = 0, kOutcomeParams = 1, kOutcomeTimeout = 2 };

    void LoadConfiguration();
    int StreamLoop();
    int SnapshotLoop();
    // Index of a signalled wake event, or kOutcomeTimeout.
    int PollWakeEvents(uint32_t timeoutMs);
    void Finish();
    // Storage of `bytes` for the picture being fetched; false (logged once
    // per run of such pictures) when the budget has no room.
    bool ChargePicture(size_t bytes);

    uint32_t framesThisPass_ = 0;  // capture thread only
    std::string openFailure_;      // cause last logged by RequestStream; capture thread only
    CBudgetCharge pictureCharge_;  // of the picture being fetched; capture thread only
    bool pictureRunTold_ = false;  // a picture was refused storage, and none fetched since
};

}  // namespace talvik

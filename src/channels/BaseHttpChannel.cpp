#include "channels/BaseHttpChannel.h"

#include <algorithm>

#include "base/Debug.h"
#include "base/FrameContract.h"
#include "base/Text.h"
#include "base/Time.h"
#include "http/HUtils.h"

namespace talvik {

CBaseHttpChannel::CBaseHttpChannel(uint32_t videoInput, IDriver* driver, IHostFrameSink* sink,
                                   CHttpMediaParser* parser)
    : CBaseCameraChannel(videoInput, driver, sink),
      sender_(driver != nullptr && driver->GetDeviceInfo() != nullptr ? *driver->GetDeviceInfo()
                                                                      : DEVICE_INFO()),
      parser_(parser) {
    sender_.SetLogger(driver);
    if (parser_) parser_->SetReceiver(this);
}

CBaseHttpChannel::~CBaseHttpChannel() {
    // The body uses the sender and the parser: it must end before they go.
    Stop();
}

void CBaseHttpChannel::OnStopping() {
    sender_.Cancel();
}

bool CBaseHttpChannel::ReceiveFrame(IHostFrame* frame) {
    if (!SendFrameCallback(frame)) return false;
    LastFrameTime().SetNow();
    SetCameraState(true);
    ++framesThisPass_;
    return true;
}

std::string CBaseHttpChannel::GetStreamName() {
    return StreamName(Driver()->GetDriverName(), Params().kind);
}

void CBaseHttpChannel::LoadConfiguration() {
    IDriver* driver = Driver();
    urlConfig_ =
        MakeStreamUrlConfig(*driver, GetVideoInput(),
                            LoadDeviceSettings(*driver->GetDeviceInfo(), driver->GetHostDirectory(),
                                               driver->GetDriverName()));
}

void CBaseHttpChannel::Finish() {
    SetStatus(kChannelStopped);
    SetCameraState(false);
}

int CBaseHttpChannel::PollWakeEvents(uint32_t timeoutMs) {
    CEvent* events[2] = {&StopEvent(), &ParamsChangedEvent()};
    const int index = WaitAny(events, 2, timeoutMs);
    return index >= 0 ? index : kOutcomeTimeout;
}

// The time limit of a stream counts from a fresh start (first pass, new
// parameters, retry after a lost signal), not from every reconnect: a camera
// that keeps answering without pictures, or whose reads keep timing out, is
// then still reported lost once the limit has passed.
void CBaseHttpChannel::Run() {
    LoadConfiguration();
    bool sendLight = true;
    bool freshStart = true;
    bool lossTold = false;  // the host heard of the current loss
    for (;;) {
        if (sendLight)
            SendLightFrequency(camera_, urlConfig_, urlConfig_.settings.IndoorLightFrequency);
        if (freshStart) LastFrameTime().SetNow();
        freshStart = false;
        framesThisPass_ = 0;

        const bool snapshot = Params().frameIntervalMs > 1000;
        int outcome = kOutcomeTimeout;
        if (snapshot) {
            SetStatus(kChannelStreaming);
            outcome = SnapshotLoop();
        } else if (!OpenStream()) {
            // A camera that is down or refuses the stream at the start is
            // retried like one that fails later: it may come up any time.
            outcome = StopEvent().Wait(0) ? kOutcomeStop : kOutcomeTimeout;
        } else {
            SetStatus(kChannelStreaming);
            outcome = StreamLoop();
        }
        if (framesThisPass_ > 0) lossTold = false;

        if (outcome == kOutcomeStop) return Finish();
        sender_.Cancel();
        if (outcome == kOutcomeParams) {
            TakePendingParams();
            sendLight = false;
            freshStart = true;
            continue;
        }
        const uint32_t limit =
            snapshot ? Params().frameIntervalMs : Driver()->GetDeviceInfo()->dataTimeoutMs;
        const bool lost = LastFrameTime().ElapsedMs() > limit;
        if (lost) {
            SetStatus(kChannelSignalLost);
            // One notice per loss, however long the camera stays away.
            if (!lossTold) SendSignalLost();
            lossTold = true;
            SetCameraState(false);
        }
        const uint32_t pause = lost ? kLostRetryMs : (framesThisPass_ == 0 ? kNoFrameRetryMs : 0);
        if (StopEvent().Wait(pause)) return Finish();
        sendLight = true;
        freshStart = lost;
    }
}

int CBaseHttpChannel::StreamLoop() {
    const uint32_t limit = Driver()->GetDeviceInfo()->dataTimeoutMs;
    // Parsed where the sender holds the bytes, each byte once: a picture
    // stays there until it is complete and is copied only into the frame.
    size_t seen = 0;
    for (;;) {
        const uint8_t* data = nullptr;
        const size_t count = sender_.ReadHeld(data, seen);
        bool exceeded = false;
        if (count > 0) {
            const size_t done = parser_->ParseHeld(data, count, seen);
            sender_.Release(done);
            seen = count - done;
            exceeded = LastFrameTime().ElapsedMs() > limit;
        }
        const int woken = PollWakeEvents(0);
        if (woken != kOutcomeTimeout) return woken;
        if (count == 0 || exceeded) return kOutcomeTimeout;
    }
}

int CBaseHttpChannel::SnapshotLoop() {
    // The picture's charge goes after the picture, when it has been handed on.
    struct ChargeRelease {
        CBudgetCharge& charge;
        ~ChargeRelease() { charge.ReleaseAll(); }
    };
    for (;;) {
        const uint32_t interval = Params().frameIntervalMs;
        const ChargeRelease release{pictureCharge_};
        std::vector<uint8_t> picture;
        const bool fetched = FetchSnapshot(picture);
        bool exceeded = false;
        if (fetched) {
            parser_->ParseData(picture);
            exceeded = LastFrameTime().ElapsedMs() > interval;
        }
        // The fetch time is not subtracted: one picture every fetch plus interval.
        const int woken = PollWakeEvents(fetched ? interval : 0);
        if (woken != kOutcomeTimeout) return woken;
        if (!fetched || exceeded) return kOutcomeTimeout;
    }
}

bool CBaseHttpChannel::FetchSnapshot(std::vector<uint8_t>&) {
    return false;
}

bool CBaseHttpChannel::FetchPicture(const std::string& path, std::vector<uint8_t>& picture) {
    picture.clear();
    // A picture that comes later than this is of no use: the next is due, or
    // the camera counts as lost. However slowly the camera sends, the request
    // ends then, so that the loss check runs.
    const uint32_t useful =
        std::max(Params().frameIntervalMs, Driver()->GetDeviceInfo()->dataTimeoutMs);
    const uint32_t started = TickCountMs();
    if (HUtils::RequestGetRD(sender_, path, picture, false).code != HUtils::kRequestOk)
        return false;
    const uint32_t spent = TickCountMs() - started;
    if (spent >= useful) return false;
    sender_.LimitBodyReads(useful - spent);
    // Read here rather than with the sender's whole-body reader, so that a
    // hostile Content-Length cannot make the channel buffer gigabytes.
    const uint32_t announced = sender_.GetContentLength();
    if (announced > kMaxSnapshotBytes) return false;
    const size_t budget = announced != 0 ? announced : kMaxSnapshotBytes + 1;
    while (picture.size() < budget) {
        const size_t want = std::min<size_t>(kReadChunkBytes, budget - picture.size());
        // An announced body's storage is taken (and charged) before it is read.
        if (announced != 0 && picture.capacity() < budget) {
            if (!ChargePicture(budget)) return false;
            picture.reserve(budget);
        }
        if (sender_.ReadData(picture, static_cast<uint32_t>(want), false) == 0) break;
        if (!ChargePicture(picture.capacity())) {
            picture = std::vector<uint8_t>();
            return false;
        }
    }
    // A picture cut short, overlong, or whose end never came (a read that
    // timed out or failed) is not handed on as if it were whole.
    if (picture.size() > kMaxSnapshotBytes || (announced != 0 && picture.size() != announced) ||
        sender_.GetLastError() != 0) {
        picture.clear();
        return false;
    }
    if (!picture.empty()) pictureRunTold_ = false;
    return !picture.empty();
}

bool CBaseHttpChannel::ChargePicture(size_t bytes) {
    if (pictureCharge_.GrowTo(bytes)) return true;
    if (!pictureRunTold_) {
        Driver()->DebugMessage(kLevelWarning,
                               "%s: The buffers of all streams are at their limit of %u KiB: a "
                               "picture from device %s was dropped",
                               "talvik::CBaseHttpChannel::FetchPicture",
                               unsigned(CMemoryBudget::Process().Limit() >> 10),
                               Driver()->GetSourceName().c_str());
    }
    pictureRunTold_ = true;
    return false;
}

bool CBaseHttpChannel::RequestStream(const std::string& path) {
    const bool sent = HUtils::SendGet(sender_, path);
    const uint32_t status = sender_.GetStatusCode();
    if (sent && status >= 200 && status <= 299) {
        openFailure_.clear();
        return true;
    }
    if (StopEvent().Wait(0)) return false;  // our own cancel, not the camera's fault
    std::string cause;
    if (status == 401) {
        // The sender names a refused login itself, once per run of refusals.
        openFailure_ = "HTTP status 401";
        return false;
    }
    if (status != 0) {
        cause = FormatString("HTTP status %u", status);
    } else {
        cause = sender_.DescribeLastError();
    }
    if (cause == openFailure_) return false;
    openFailure_ = cause;
    const DEVICE_INFO& device = sender_.GetDevice();
    // The cause before the long path, so that a cut line still shows it.
    Driver()->DebugMessage(kLevelError, "%s: Cannot open the stream of device %s:%u: %s (\"%s\")",
                           "talvik::CBaseHttpChannel::RequestStream", device.address.c_str(),
                           static_cast<unsigned>(device.port), cause.c_str(), path.c_str());
    return false;
}

}  // namespace talvik

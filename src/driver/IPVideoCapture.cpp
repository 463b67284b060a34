#include "driver/IPVideoCapture.h"

#include <memory>
#include <utility>

#include "ThreadCancel.h"

namespace talvik {

namespace {
constexpr size_t kMaxStreamKind = 2;

// Stops and destroys outside any lock. The table owns a channel; a thread of
// it that outlives the stop takes a share, and the last share deletes it.
void Discard(std::unique_ptr<ICameraChannel> channel) {
    if (!channel) return;
    const std::shared_ptr<ICameraChannel> shared(std::move(channel));
    shared->Retire(shared);
}
}  // namespace

uint32_t DecodeFrameInterval(uint16_t encoded) {
    static const uint32_t kUnitMs[4] = {1, 1000, 60000, 3600000};
    // Up to 16383 hours does not fit 32 bits: saturate instead of wrapping.
    const uint64_t ms = uint64_t(encoded & 0x3FFF) * kUnitMs[encoded >> 14];
    return ms > UINT32_MAX ? UINT32_MAX : uint32_t(ms);
}

CIPVideoCapture::CIPVideoCapture(IVideoChannelCreator* creator, uint32_t videoInputCount)
    : creator_(creator), table_(videoInputCount) {}

CIPVideoCapture::~CIPVideoCapture() {
    for (uint32_t input = 0; input < table_.size(); ++input)
        StopVideo(input);
}

uint32_t CIPVideoCapture::GetVideoInputCount() {
    CLockGuard guard(lock_);
    return static_cast<uint32_t>(table_.size());
}

bool CIPVideoCapture::ReadStreamSettings(IHostStreamSettings* settings, bool encodedInterval,
                                         uint32_t kind, STREAM_PARAMS* out) {
    if (settings == nullptr) return false;
    IHostStreamFormat* format = settings->GetFormat();
    IHostFrameRate* rate = settings->GetRate();
    if (format == nullptr || rate == nullptr) return false;
    IHostFrameSize* size = format->GetSize();
    if (size == nullptr) return false;
    const uint16_t interval = static_cast<uint16_t>(rate->GetFrameInterval());
    out->frameIntervalMs = encodedInterval ? DecodeFrameInterval(interval) : interval;
    out->quality = static_cast<uint16_t>(rate->GetQuality());
    out->width = static_cast<uint16_t>(size->GetWidth());
    out->height = static_cast<uint16_t>(size->GetHeight());
    out->codec = format->GetCodec();
    out->kind = kind;
    return true;
}

bool CIPVideoCapture::StartVideo(uint32_t videoInput, IHostFrameSink* sink,
                                 IHostStreamSettings* settings) {
    try {
        if (videoInput >= GetVideoInputCount()) return false;
        StopVideo(videoInput);
        STREAM_PARAMS params;
        if (!ReadStreamSettings(settings, true, ipcapture::kStreamRecording, &params)) return false;
        std::unique_ptr<ICameraChannel> channel(
            creator_->CreateVideoChannel(videoInput, sink, &params));
        if (!channel) return false;
        channel->ApplyHostOption(settings->GetHostOption());
        bool started = channel->Start(&params);
        std::unique_ptr<IAuxiliaryChannel> auxiliary;
        IHostFrameRate* rate = settings->GetRate();
        if (started && rate != nullptr && rate->GetAuxiliaryRequested() != 0) {
            auxiliary.reset(creator_->CreateAuxiliaryChannel(videoInput, sink));
            if (auxiliary) started = auxiliary->Start();
        }
        // Filed even when a start failed, so that the host's stop releases it.
        std::unique_ptr<ICameraChannel> displaced;
        std::unique_ptr<IAuxiliaryChannel> displacedAuxiliary;
        {
            CLockGuard guard(lock_);
            Entry& entry = table_[videoInput];
            displaced =
                std::exchange(entry.streams[ipcapture::kStreamRecording], std::move(channel));
            displacedAuxiliary = std::exchange(entry.auxiliary, std::move(auxiliary));
        }
        // Only when the host broke its promise to serialise starts of one input.
        if (displacedAuxiliary) displacedAuxiliary->Stop();
        Discard(std::move(displaced));
        return started;
    } catch (...) {
        RethrowThreadCancellation();
        return false;
    }
}

bool CIPVideoCapture::StopVideo(uint32_t videoInput) {
    std::unique_ptr<ICameraChannel> recording, live, remote;
    std::unique_ptr<IAuxiliaryChannel> auxiliary;
    {
        CLockGuard guard(lock_);
        if (videoInput >= table_.size()) return false;
        Entry& entry = table_[videoInput];
        recording = std::move(entry.streams[ipcapture::kStreamRecording]);
        live = std::move(entry.streams[ipcapture::kStreamLive]);
        remote = std::move(entry.streams[ipcapture::kStreamRemote]);
        auxiliary = std::move(entry.auxiliary);
    }
    const bool any = recording || live || remote || auxiliary;
    if (auxiliary) {
        auxiliary->Stop();
        auxiliary.reset();
    }
    Discard(std::move(live));
    Discard(std::move(remote));
    Discard(std::move(recording));
    return any;
}

ICameraChannel* CIPVideoCapture::RecordingChannelLocked(uint32_t videoInput) {
    if (videoInput >= table_.size()) return nullptr;
    return table_[videoInput].streams[ipcapture::kStreamRecording].get();
}

bool CIPVideoCapture::UpdateVideo(uint32_t videoInput, IHostFrameSize* size,
                                  uint32_t frameIntervalMs) {
    if (size == nullptr) return false;
    STREAM_UPDATE update;
    update.frameIntervalMs = frameIntervalMs;
    update.width = static_cast<uint16_t>(size->GetWidth());
    update.height = static_cast<uint16_t>(size->GetHeight());
    CLockGuard guard(lock_);
    ICameraChannel* channel = RecordingChannelLocked(videoInput);
    return channel != nullptr && channel->UpdateStreamParams(update);
}

bool CIPVideoCapture::GetVideoStatus(uint32_t videoInput, uint32_t* status, uint32_t* second,
                                     char* text, uint32_t textSize) {
    uint32_t value = 0;
    {
        CLockGuard guard(lock_);
        ICameraChannel* channel = RecordingChannelLocked(videoInput);
        if (channel == nullptr) return false;
        value = channel->GetStatus();
    }
    // The host knows no separate "stopped" value.
    if (value == kChannelStopped) value = kChannelSignalLost;
    if (status != nullptr) *status = value;
    if (second != nullptr) *second = 0;
    if (text != nullptr && textSize != 0) text[0] = '\0';
    return true;
}

bool CIPVideoCapture::ResumeVideo(uint32_t videoInput) {
    CLockGuard guard(lock_);
    ICameraChannel* channel = RecordingChannelLocked(videoInput);
    return channel != nullptr && channel->Resume();
}

bool CIPVideoCapture::PauseVideo(uint32_t videoInput) {
    CLockGuard guard(lock_);
    ICameraChannel* channel = RecordingChannelLocked(videoInput);
    return channel != nullptr && channel->Pause();
}

bool CIPVideoCapture::StartStream(uint32_t videoInput, uint32_t kind, IHostFrameSink* sink,
                                  IHostStreamSettings* settings) {
    try {
        if (videoInput >= GetVideoInputCount()) return false;
        // Only the three stream kinds have a slot; another kind would overwrite
        // the unused or the auxiliary slot, or write past the entry.
        if (kind > kMaxStreamKind) return false;
        StopStream(videoInput, kind);
        STREAM_PARAMS params;
        if (!ReadStreamSettings(settings, false, kind, &params)) return false;
        std::unique_ptr<ICameraChannel> channel(
            creator_->CreateVideoChannel(videoInput, sink, &params));
        if (!channel) return false;
        const bool started = channel->Start(&params);
        std::unique_ptr<ICameraChannel> displaced;
        {
            CLockGuard guard(lock_);
            displaced = std::exchange(table_[videoInput].streams[kind], std::move(channel));
        }
        Discard(std::move(displaced));
        return started;
    } catch (...) {
        RethrowThreadCancellation();
        return false;
    }
}

bool CIPVideoCapture::StopStream(uint32_t videoInput, uint32_t kind) {
    std::unique_ptr<ICameraChannel> channel;
    {
        CLockGuard guard(lock_);
        if (videoInput >= table_.size() || kind > kMaxStreamKind) return false;
        channel = std::move(table_[videoInput].streams[kind]);
    }
    if (!channel) return false;
    Discard(std::move(channel));
    return true;
}

}  // namespace talvik

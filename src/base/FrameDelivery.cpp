#include "base/FrameDelivery.h"

#include <cstring>

#include "ThreadCancel.h"

namespace talvik {

namespace {

void ReleaseQuietly(IHostFrameAllocator* allocator, IHostFrame* frame) {
    try {
        allocator->ReleaseFrame(frame);
    } catch (...) {
        RethrowThreadCancellation();
    }
}

bool CopyBytes(IHostFrame* frame, const uint8_t* data, uint32_t size) {
    uint8_t* buffer = frame->GetBuffer();
    if (buffer == nullptr || frame->GetBufferSize() < size) return false;
    std::memcpy(buffer, data, size);
    return true;
}

FrameOutcome Fill(IHostFrame* frame, const uint8_t* data, uint32_t size, const FrameFields& fields,
                  const std::function<bool(IHostFrame*)>& deliver) {
    if (fields.bytesFirst && !CopyBytes(frame, data, size)) return FrameOutcome::kCopyFailed;
    frame->SetWidth(fields.width);
    frame->SetHeight(fields.height);
    frame->SetResolutionClass(fields.resolutionClass);
    frame->SetDataSize(size);
    frame->SetFourCC(fields.fourcc);
    if (fields.time != nullptr)
        frame->SetTime(fields.time);
    else
        frame->StampFrame();
    if (!fields.bytesFirst && !CopyBytes(frame, data, size)) return FrameOutcome::kCopyFailed;
    return deliver(frame) ? FrameOutcome::kDelivered : FrameOutcome::kRefused;
}

}  // namespace

FrameOutcome DeliverHostFrame(IHostFrameAllocator* allocator, const char* streamName,
                              const uint8_t* data, size_t size, const FrameFields& fields,
                              const std::function<bool(IHostFrame*)>& deliver) {
    if (allocator == nullptr || data == nullptr || size == 0 || size > UINT32_MAX)
        return FrameOutcome::kNoFrame;
    const uint32_t bytes = static_cast<uint32_t>(size);
    IHostFrame* frame = nullptr;
    FrameOutcome outcome = FrameOutcome::kFailed;
    try {
        frame = allocator->CreateFrame(fields.fourcc, bytes, streamName);
        if (frame == nullptr) return FrameOutcome::kNoFrame;
        outcome = Fill(frame, data, bytes, fields, deliver);
    } catch (...) {
        RethrowThreadCancellation([&] {
            if (frame != nullptr) ReleaseQuietly(allocator, frame);
        });
        outcome = FrameOutcome::kFailed;
    }
    if (frame != nullptr) ReleaseQuietly(allocator, frame);
    return outcome;
}

}  // namespace talvik

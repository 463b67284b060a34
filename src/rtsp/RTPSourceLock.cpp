#include "rtsp/RTPSourceLock.h"

#include <cstring>

namespace talvik {

void CRTPSourceLock::Reset() {
    locked_ = false;
    source_ = 0;
    candidateRun_ = 0;
    runDropped_ = 0;
    cleanRun_ = 0;
}

void CRTPSourceLock::Expect(uint32_t ssrc) {
    Reset();
    locked_ = true;
    source_ = ssrc;
}

uint32_t CRTPSourceLock::SsrcOf(const CRTPPacket& packet) {
    uint8_t bytes[4];
    std::memcpy(bytes, &packet.ssrc, sizeof(bytes));
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           uint32_t(bytes[3]);
}

CRTPSourceLock::Verdict CRTPSourceLock::Accepted() {
    candidateRun_ = 0;
    if (runDropped_ == 0) return Verdict::kAccept;
    if (++cleanRun_ < kRunEnd) return Verdict::kAccept;
    runDropped_ = 0;
    cleanRun_ = 0;
    return Verdict::kAcceptEnd;
}

CRTPSourceLock::Verdict CRTPSourceLock::Check(uint32_t ssrc, uint16_t sequence) {
    if (!locked_) {
        locked_ = true;
        source_ = ssrc;
    }
    if (ssrc == source_) return Accepted();
    if (candidateRun_ != 0 && ssrc == candidate_ && sequence == candidateNext_) {
        ++candidateRun_;
    } else {
        candidate_ = ssrc;
        candidateRun_ = 1;
    }
    candidateNext_ = uint16_t(sequence + 1);
    if (candidateRun_ >= kProbation) {
        source_ = ssrc;
        candidateRun_ = 0;
        runDropped_ = 0;
        cleanRun_ = 0;
        return Verdict::kNewSource;
    }
    ++dropped_;
    cleanRun_ = 0;
    return runDropped_++ == 0 ? Verdict::kDropFirst : Verdict::kDrop;
}

}  // namespace talvik

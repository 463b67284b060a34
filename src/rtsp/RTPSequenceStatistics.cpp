#include "rtsp/RTPSequenceStatistics.h"

namespace talvik {

void CRTPSequenceStatistics::Reset() {
    *this = CRTPSequenceStatistics();
}

void CRTPSequenceStatistics::Restart(uint16_t seq) {
    maxSeq_ = seq;
    baseSeq_ = uint16_t(seq - 1);
    badSeq_ = kSeqMod + 1;  // matches no 16-bit number
    cycles_ = 0;
    received_ = 0;
}

bool CRTPSequenceStatistics::Update(uint16_t seq) {
    if (!started_) {
        started_ = true;
        Restart(seq);
    }
    const uint16_t delta = uint16_t(seq - maxSeq_);
    if (delta < kMaxDropout) {
        if (seq < maxSeq_) cycles_ += kSeqMod;  // wrapped
        maxSeq_ = seq;
    } else if (delta <= kSeqMod - kMaxMisorder) {
        if (seq != badSeq_) {
            // A jump: believe it only when the next packet follows on from it.
            badSeq_ = (uint32_t(seq) + 1) & (kSeqMod - 1);
            return false;
        }
        Restart(seq);
    }
    // Otherwise a duplicate or a reordered packet: counted, nothing else changes.
    ++received_;
    return true;
}

}  // namespace talvik

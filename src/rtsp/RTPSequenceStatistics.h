// RTP receive statistics of RFC 3550 appendix A.1, kept for receiver reports.
// No probation period: the first packet after a reset starts the count.
#pragma once

#include <cstdint>

namespace talvik {

class CRTPSequenceStatistics {
public:
    static constexpr uint32_t kMaxDropout = 3000;
    static constexpr uint32_t kMaxMisorder = 100;
    static constexpr uint32_t kSeqMod = 65536;

    void Reset();

    // Feeds the sequence number of one received packet; false when the packet
    // is not counted (the first packet of a suspected jump).
    bool Update(uint16_t seq);

    bool Started() const { return started_; }
    uint16_t MaxSeq() const { return maxSeq_; }
    uint32_t Cycles() const { return cycles_; }  // in steps of 65536
    uint32_t BaseSeq() const { return baseSeq_; }
    uint32_t BadSeq() const { return badSeq_; }
    uint32_t Received() const { return received_; }

    // The receiver report's "extended highest sequence number received".
    uint32_t ExtendedHighest() const { return cycles_ + maxSeq_; }

private:
    void Restart(uint16_t seq);

    bool started_ = false;
    uint16_t maxSeq_ = 0;
    uint32_t cycles_ = 0;
    uint32_t baseSeq_ = 0;
    uint32_t badSeq_ = 0;
    uint32_t received_ = 0;
};

}  // namespace talvik

// Keeps one RTP stream to one synchronisation source (SSRC). Anything that
// reaches the client's port from the camera's address, or a frame cut out of
// a misaligned interleaved connection, parses as RTP; only the source the
// stream is locked to reaches the depacketiser.
//
// The lock is the SSRC of the SETUP answer's Transport header when the camera
// gives one, otherwise the first packet's. Another source takes the stream
// over only after kProbation packets of it in a row, each numbered one after
// the other, with none of the locked source between them: a camera that
// restarts its stream under a new SSRC still plays, while a stranger mixed
// into a live stream is never taken.
//
// Plain state over packet fields; the caller serialises the calls.
#pragma once

#include <cstdint>

#include "rtsp/RTPPacket.h"

namespace talvik {

class CRTPSourceLock {
public:
    // In-sequence packets a new source must send, uninterrupted, to take over.
    static constexpr uint32_t kProbation = 4;
    // Accepted packets in a row without a drop that end a run of drops.
    static constexpr uint32_t kRunEnd = 64;

    enum class Verdict {
        kAccept,     // from the locked source
        kAcceptEnd,  // from the locked source, and it ends a run of drops
        kNewSource,  // a new source has passed probation and is locked from this packet on
        kDrop,       // from another source
        kDropFirst,  // from another source, the first drop of a run
    };

    // Forgets the source: the next packet's SSRC is locked.
    void Reset();
    // Locks to a source named in advance (the SETUP answer's ssrc).
    void Expect(uint32_t ssrc);

    Verdict Check(uint32_t ssrc, uint16_t sequence);
    Verdict Check(const CRTPPacket& packet) { return Check(SsrcOf(packet), packet.sequenceNumber); }

    bool Locked() const { return locked_; }
    uint32_t Source() const { return source_; }
    // Packets dropped since construction, and in the current run.
    uint64_t Dropped() const { return dropped_; }
    uint32_t RunDropped() const { return runDropped_; }

    // The packet's SSRC as a number (its bytes are kept as received).
    static uint32_t SsrcOf(const CRTPPacket& packet);

private:
    Verdict Accepted();

    bool locked_ = false;
    uint32_t source_ = 0;
    uint32_t candidate_ = 0;
    uint16_t candidateNext_ = 0;  // the sequence number the candidate must send next
    uint32_t candidateRun_ = 0;   // 0: no candidate
    uint64_t dropped_ = 0;
    uint32_t runDropped_ = 0;  // drops of the open run; 0: no run open
    uint32_t cleanRun_ = 0;    // accepted packets since the last drop
};

}  // namespace talvik

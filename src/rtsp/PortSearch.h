// The local UDP port pairs of RTP sessions: an even RTP port from 3556 to
// 4554 and the odd RTCP port above it. The searches of one process walk the
// range together, each going on where the last one stopped, so that N
// streams try about N pairs rather than walking past every pair the streams
// before them hold.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace talvik {

class IDebugMessage;

class CPortPairCursor {
public:
    static constexpr uint16_t kFirstRtpPort = 3556;
    static constexpr uint16_t kLastRtpPort = 4554;
    static constexpr uint32_t kPairs = (kLastRtpPort - kFirstRtpPort) / 2 + 1;

    // Any port as the even RTP port of the range at the same place, wrapped.
    static uint16_t Wrap(uint32_t port);

    // The RTP port of the next pair to try, taken from the walk: the pair
    // after it goes to the next try, of this search or of another.
    uint16_t Take();
    // Where the next Take starts (wrapped into the range).
    void Restart(uint32_t port) { next_ = Wrap(port); }

    // The walk that every channel of the process shares.
    static CPortPairCursor& Process();

private:
    std::atomic<uint16_t> next_{kFirstRtpPort};
};

enum class PortPairTry {
    kOpened,   // the pair is ours: the search ends
    kTaken,    // in use (or not quiet): the next pair
    kStopped,  // the owner is stopping: the search ends without a pair
};

struct PortPairSearch {
    uint16_t port = 0;   // RTP port of the pair opened; 0 when none was
    uint32_t tried = 0;  // pairs tried
    bool stopped = false;
};

// Tries the pairs the cursor hands out, as many as the range holds, until
// tryPair opens one or asks to stop. A taken pair is not logged; a search
// that finds none logs one line to logger (which may be null).
PortPairSearch SearchPortPairs(CPortPairCursor& cursor, IDebugMessage* logger,
                               const std::function<PortPairTry(uint16_t rtpPort)>& tryPair);

}  // namespace talvik

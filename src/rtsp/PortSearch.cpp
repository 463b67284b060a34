#include "rtsp/PortSearch.h"

#include "base/Debug.h"

namespace talvik {

uint16_t CPortPairCursor::Wrap(uint32_t port) {
    const uint32_t offset = port >= kFirstRtpPort ? (port - kFirstRtpPort) / 2 % kPairs : 0;
    return uint16_t(kFirstRtpPort + 2 * offset);
}

uint16_t CPortPairCursor::Take() {
    uint16_t port = next_.load(std::memory_order_relaxed);
    // Concurrent searches each get a pair of their own.
    while (
        !next_.compare_exchange_weak(port, Wrap(uint32_t(port) + 2), std::memory_order_relaxed)) {
    }
    return Wrap(port);
}

CPortPairCursor& CPortPairCursor::Process() {
    static CPortPairCursor cursor;
    return cursor;
}

PortPairSearch SearchPortPairs(CPortPairCursor& cursor, IDebugMessage* logger,
                               const std::function<PortPairTry(uint16_t rtpPort)>& tryPair) {
    PortPairSearch search;
    while (search.tried < CPortPairCursor::kPairs) {
        const uint16_t port = cursor.Take();
        ++search.tried;
        switch (tryPair(port)) {
            case PortPairTry::kOpened:
                search.port = port;
                return search;
            case PortPairTry::kStopped:
                search.stopped = true;
                return search;
            case PortPairTry::kTaken:
                break;
        }
    }
    if (logger != nullptr) {
        logger->DebugMessage(kLevelError, "%s: Device %s: no free UDP port pair from %u to %u",
                             "talvik::CBaseRTPChannel::OpenPorts", logger->GetSourceName().c_str(),
                             unsigned(CPortPairCursor::kFirstRtpPort),
                             unsigned(CPortPairCursor::kLastRtpPort) + 1);
    }
    return search;
}

}  // namespace talvik

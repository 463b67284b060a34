// The datagram transport that carries RTP and RTCP, and the callbacks of its
// user. The user's operations all run on the transport's receive thread
// (OnRTPClientClosed also on the thread that closes it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/UdpSocket.h"

namespace talvik {

class IRTPClient;

class IRTPClientUser {
public:
    virtual ~IRTPClientUser() = default;
    // One datagram of positive length, valid only during the call.
    virtual void OnRTPData(IRTPClient* client, const IPv4Endpoint& sender, const uint8_t* data,
                           size_t length) = 0;
    // A wait for data ended without data.
    virtual void OnRTPTimeout(IRTPClient* client) = 0;
    // The socket was closed, or the network under it went away.
    virtual void OnRTPClientClosed(IRTPClient* client) = 0;
    // Brackets the datagrams read in one go, from the first after a wait
    // (begins) until the socket is empty (!begins), so that a user can hand
    // them on with one wake-up; just before the transport sleeps.
    virtual void OnRTPBurst(IRTPClient*, bool /*begins*/) {}
    // Lets a user receive datagrams straight into buffers of its own: fills
    // up to count slots, each with room for `size` bytes at head and body
    // together, and returns how many it filled; 0 (the default) leaves the
    // transport's own buffers and OnRTPData.
    virtual int GetReceiveSlots(IRTPClient*, UdpSlot* /*slots*/, int /*count*/, size_t /*size*/) {
        return 0;
    }
    // A datagram of positive length read into slot `slot` of the last
    // GetReceiveSlots; the slots not named stay the user's to offer again.
    virtual void OnRTPSlotData(IRTPClient*, const IPv4Endpoint& /*sender*/, int /*slot*/,
                               size_t /*length*/) {}
};

class IRTPClient {
public:
    virtual ~IRTPClient() = default;
    // group: dotted IPv4 text; localInterface: IPv4 address in network order.
    virtual bool OpenMulticast(IRTPClientUser* user, const char* group, uint16_t port,
                               uint32_t localInterface) = 0;
    virtual bool Open(IRTPClientUser* user, uint16_t port) = 0;
    // Result of joining the receive thread.
    virtual bool Close() = 0;
    // Size of the receive thread's datagram buffer, read when the thread starts.
    virtual void SetReceiveBufferSize(uint32_t bytes) = 0;
    virtual void SetWaitTimeout(uint32_t ms) = 0;
    // Bound local port (the real one when opened on port 0), 0 when closed.
    virtual uint16_t GetPort() = 0;
};

}  // namespace talvik

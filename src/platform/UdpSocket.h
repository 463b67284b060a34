// One IPv4 datagram socket: bind, multicast membership, a bounded wait for
// data that another thread can end at once, batch receive and send. The
// caller keeps the policy (buffer growth, time-outs, what a failure means);
// this holds only the system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace talvik {

// An IPv4 address in network byte order and a port in host byte order.
struct IPv4Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

inline bool operator==(const IPv4Endpoint& a, const IPv4Endpoint& b) {
    return a.address == b.address && a.port == b.port;
}

// The wildcard address and the "none" address (all bits set): the same in
// either byte order.
constexpr uint32_t kIPv4Any = 0;
constexpr uint32_t kIPv4None = 0xFFFFFFFFu;

// a.b.c.d in network byte order.
inline uint32_t IPv4Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

// A dotted IPv4 address (four decimal numbers, nothing else) in network byte
// order; false for anything else, null and empty included.
bool ParseDottedIPv4(const char* text, uint32_t* address);

// One datagram read by ReceiveBatch.
struct UdpDatagram {
    const uint8_t* data = nullptr;
    size_t length = 0;       // bytes at data
    bool truncated = false;  // longer than its slot: the rest is lost
    IPv4Endpoint sender;
};

// Where ReceiveInto puts one datagram: its first headSize bytes at head, the
// rest at body, so that a caller can read the payload straight into its own
// buffer and the fixed header beside it.
struct UdpSlot {
    uint8_t* head = nullptr;
    size_t headSize = 0;
    uint8_t* body = nullptr;
    size_t bodySize = 0;
};

class CUdpSocket {
public:
    // Datagrams ReceiveBatch takes at most per call.
    // A 1080p frame of a few dozen datagrams takes one call.
    static constexpr int kMaxBatch = 32;

    struct Options {
        bool reuseAddress = false;
        uint32_t receiveBuffer = 65535;  // the system's buffer, bytes
        uint32_t receiveTimeoutMs = 0;   // 0: left as it is
        uint32_t sendTimeoutMs = 0;      // 0: left as it is
    };
    enum class WaitResult {
        kReadable,  // data (or an error to read); or the wait was ended by Shutdown
        kTimeout,
        kAgain,     // interrupted or a passing failure: wait again
        kLost,      // the socket or the network under it is gone
        kShutDown,  // the socket was shut down
    };
    enum class ReceiveError { kNone, kEmpty, kInterrupted, kFailed };

    CUdpSocket() = default;
    ~CUdpSocket();
    CUdpSocket(CUdpSocket&& other) noexcept;
    CUdpSocket& operator=(CUdpSocket&& other) noexcept;
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // Opens and binds to the address (network order) and port (0: a free
    // one, see Port). False with nothing open, or when already open.
    bool Open(uint32_t bindAddress, uint16_t port, const Options& options);
    bool IsOpen() const { return socket_ != kInvalid; }
    // The bound port, 0 when closed.
    uint16_t Port() const { return port_; }
    // After a failed Open or JoinGroup: the step that failed and the system's
    // text for it, e.g. "bind: Address already in use"; empty otherwise.
    const std::string& LastError() const { return lastError_; }
    // After a failed Open: the port was taken, an everyday outcome of a
    // port search rather than a fault.
    bool AddressInUse() const { return addressInUse_; }
    // After Open: the system's receive buffer granted, as the size asked for
    // would read (Linux reports twice what it grants for data; that is
    // halved), 0 when closed.
    uint32_t ReceiveBuffer() const { return receiveBuffer_; }

    // Group and interface in network order.
    bool JoinGroup(uint32_t group, uint32_t interfaceAddress);
    void LeaveGroup(uint32_t group, uint32_t interfaceAddress);

    // Waits up to waitMs for a datagram; Shutdown ends the wait at once.
    WaitResult WaitReadable(uint32_t waitMs);
    // Without waiting, reads up to count (at most kMaxBatch) datagrams, the
    // i-th into slots + i * slotSize; fills out and returns how many were
    // read, or -1 with the reason in error (kEmpty: nothing queued).
    int ReceiveBatch(uint8_t* slots, size_t slotSize, UdpDatagram* out, int count,
                     ReceiveError* error);
    // ReceiveBatch into the caller's slots (at most kMaxBatch); out[i].data
    // is slots[i].head and out[i].length counts the bytes at head and body.
    int ReceiveInto(const UdpSlot* slots, UdpDatagram* out, int count, ReceiveError* error);
    // Reads and drops up to most queued datagrams, without waiting.
    void Discard(int most);
    // Sends all of data to the destination; true for length 0.
    bool SendTo(const IPv4Endpoint& destination, const uint8_t* data, size_t length);

    // Any thread, while another may wait or receive: shuts the socket down
    // for both directions and ends a pending wait. Close must still follow.
    void Shutdown();
    void Close();

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t socket_ = kInvalid;
    // Where a wait cannot be ended by shutting the socket down: what
    // Shutdown signals to end it (Windows: an event).
    intptr_t wake_ = kInvalid;
    // Where the system signals queued data apart from the socket (Windows:
    // the event of WSAEventSelect).
    intptr_t ready_ = kInvalid;
    uint16_t port_ = 0;
    std::string lastError_;
    bool addressInUse_ = false;
    uint32_t receiveBuffer_ = 0;
};

}  // namespace talvik

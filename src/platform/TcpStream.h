// A non-blocking TCP connection to an IPv4 peer, with a wake-up that another
// thread signals to cut a wait short. The caller keeps the policy (time-outs,
// rounds, retries); this holds only the system calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvik {

class CTcpStream {
public:
    enum class ConnectResult { kConnected, kPending, kFailed };
    enum class WaitResult {
        kReady,    // the socket is ready (or has an error to report)
        kTimeout,  // nothing within the wait
        kWoken,    // only the wake-up was signalled
        kAgain,    // a signal interrupted the wait; wait again
        kFailed,
    };
    // ReceiveSome and SendSome: nothing can move now without blocking.
    static constexpr long kWouldBlock = -2;

    CTcpStream();
    // Closes the socket and the wake-up.
    ~CTcpStream();
    CTcpStream(const CTcpStream&) = delete;
    CTcpStream& operator=(const CTcpStream&) = delete;

    // Opens a socket with that receive buffer and starts connecting to the
    // address (network byte order) and port. On kFailed nothing stays open.
    ConnectResult StartConnect(uint32_t address, uint16_t port, uint32_t receiveBufferSize);
    // After a pending connect reported ready: true when it succeeded.
    bool ConnectSucceeded();
    bool IsOpen() const { return socket_ >= 0; }

    // Waits up to waitMs (at most a day) for the socket to be writable or
    // readable; with watchWake, a signalled wake-up ends the wait too. kReady
    // may come with nothing to move: the caller tries, and on kWouldBlock
    // waits again. Reads and sends are tried before waiting: on Windows a
    // wait for data sleeps until data comes after the last read.
    WaitResult Wait(bool writable, uint32_t waitMs, bool watchWake);
    // Bytes moved (0 from ReceiveSome: the peer closed), kWouldBlock, or -1.
    long SendSome(const char* data, size_t size);
    long ReceiveSome(uint8_t* buffer, size_t size);

    // Any thread: signals the wake-up, which stays signalled until drained.
    void Wake();
    void DrainWake();
    void Close();

private:
    int socket_ = -1;
    int wake_ = -1;
    // Windows only: the event the socket's state sets, whether the connect
    // is still pending and how it ended, and whether the last send was
    // refused (only then is room to send an event worth waiting for).
    [[maybe_unused]] int ready_ = -1;
    [[maybe_unused]] bool connecting_ = false;
    [[maybe_unused]] int connectError_ = 0;
    [[maybe_unused]] bool sendBlocked_ = false;
};

}  // namespace talvik

// A listening TCP socket on 127.0.0.1 playing the camera in the connection
// tests; one implementation per platform (posix/, win/).
#pragma once

#include <cstdint>
#include <string>

namespace talvik_test {

class LoopbackTcpListener {
public:
    LoopbackTcpListener();
    ~LoopbackTcpListener();
    LoopbackTcpListener(const LoopbackTcpListener&) = delete;
    LoopbackTcpListener& operator=(const LoopbackTcpListener&) = delete;

    uint16_t Port() const { return port_; }
    // Takes one connection, waiting up to limitMs.
    bool Accept(int limitMs);
    bool Send(const std::string& data);
    // Appends what arrives until out holds `size` bytes; false on time-out.
    bool Receive(std::string* out, size_t size, int limitMs);
    // Closes the accepted connection (the client reads its end).
    void ClosePeer();

private:
    intptr_t listener_ = -1;
    intptr_t peer_ = -1;
    uint16_t port_ = 0;
};

}  // namespace talvik_test

#include "../LoopbackTcp.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/Sockets.h"

namespace talvik_test {

namespace {
bool Readable(intptr_t s, int limitMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(SOCKET(s), &set);
    timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &limit) == 1;
}
}  // namespace

LoopbackTcpListener::LoopbackTcpListener() {
    talvik::StartNetworkUse();  // given back by the destructor
    listener_ = intptr_t(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof a;
    if (bind(SOCKET(listener_), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(SOCKET(listener_), 4) == 0 &&
        getsockname(SOCKET(listener_), reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port_ = ntohs(a.sin_port);
}

LoopbackTcpListener::~LoopbackTcpListener() {
    ClosePeer();
    if (listener_ != intptr_t(INVALID_SOCKET)) closesocket(SOCKET(listener_));
    talvik::EndNetworkUse();
}

bool LoopbackTcpListener::Accept(int limitMs) {
    if (!Readable(listener_, limitMs)) return false;
    peer_ = intptr_t(accept(SOCKET(listener_), nullptr, nullptr));
    return peer_ != intptr_t(INVALID_SOCKET);
}

bool LoopbackTcpListener::Send(const std::string& data) {
    return send(SOCKET(peer_), data.data(), int(data.size()), 0) == int(data.size());
}

bool LoopbackTcpListener::Receive(std::string* out, size_t size, int limitMs) {
    char buffer[4096];
    while (out->size() < size) {
        if (!Readable(peer_, limitMs)) return false;
        const int n = recv(SOCKET(peer_), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        out->append(buffer, size_t(n));
    }
    return true;
}

void LoopbackTcpListener::ClosePeer() {
    if (peer_ != -1 && peer_ != intptr_t(INVALID_SOCKET)) closesocket(SOCKET(peer_));
    peer_ = -1;
}

}  // namespace talvik_test

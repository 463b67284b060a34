#include "../LoopbackTcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talvik_test {

namespace {
bool Readable(intptr_t fd, int limitMs) {
    pollfd p{int(fd), POLLIN, 0};
    return poll(&p, 1, limitMs) == 1;
}
}  // namespace

LoopbackTcpListener::LoopbackTcpListener() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(int(listener_), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(int(listener_), 4) == 0 &&
        getsockname(int(listener_), reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port_ = ntohs(a.sin_port);
}

LoopbackTcpListener::~LoopbackTcpListener() {
    ClosePeer();
    if (listener_ >= 0) close(int(listener_));
}

bool LoopbackTcpListener::Accept(int limitMs) {
    if (!Readable(listener_, limitMs)) return false;
    peer_ = accept(int(listener_), nullptr, nullptr);
    return peer_ >= 0;
}

bool LoopbackTcpListener::Send(const std::string& data) {
    return send(int(peer_), data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}

bool LoopbackTcpListener::Receive(std::string* out, size_t size, int limitMs) {
    char buffer[4096];
    while (out->size() < size) {
        if (!Readable(peer_, limitMs)) return false;
        const ssize_t n = recv(int(peer_), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        out->append(buffer, size_t(n));
    }
    return true;
}

void LoopbackTcpListener::ClosePeer() {
    if (peer_ >= 0) close(int(peer_));
    peer_ = -1;
}

}  // namespace talvik_test

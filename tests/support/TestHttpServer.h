// HTTP servers on 127.0.0.1 for client tests. TestHttpServer is
// libmicrohttpd (an independent implementation of Basic and Digest
// authentication, chunked streaming and TLS; user admin, password secret,
// realm camera); RawTcpServer hands each accepted socket to a scripted
// handler for answers no real server gives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace talvik_test {

// One request as the server saw it.
struct HttpExchange {
    std::string url, authorization, userAgent;  // url: path and query
};

struct HttpReply {
    unsigned status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool closeConnection = false;
    // Above 0: a body of exactly this many StreamByte bytes, sent chunked as
    // the client reads it.
    uint64_t streamBytes = 0;
    bool announceStreamLength = false;  // send streamBytes as Content-Length
    bool untilClose = false;            // HTTP/1.0: no chunks, the end closes the connection
};

enum class ServerAuth { kNone, kBasic, kDigest };

// Byte `offset` of the streamed body: no shift of it by up to 2^24 bytes
// reads the same.
inline uint8_t StreamByte(uint64_t offset) {
    return uint8_t(offset ^ (offset >> 8) ^ (offset >> 16));
}

class TestHttpServer {
public:
    struct Options {
        bool tls = false;
        ServerAuth auth = ServerAuth::kNone;
        unsigned nonceTimeoutS = 300;  // Digest nonces older than this are stale
    };
    using Handler = std::function<HttpReply(const HttpExchange&)>;

    explicit TestHttpServer(Options options, Handler handler = nullptr);
    ~TestHttpServer();

    bool Started() const { return daemon_ != nullptr; }
    uint16_t Port() const { return port_; }
    std::vector<HttpExchange> Exchanges() const;
    // Connections accepted (TLS handshakes that failed included).
    unsigned Connections() const { return connections_; }

    // For the libmicrohttpd callbacks.
    bool OnRequest(MHD_Connection* connection, const char* url);
    std::atomic<unsigned> connections_{0};

private:
    Options options_;
    Handler handler_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
    unsigned char digestRandom_[32];
    mutable std::mutex mutex_;
    std::vector<HttpExchange> exchanges_;
};

// Accepts connections on 127.0.0.1 and runs handler(fd) for each, one at a
// time on the server's thread. Handlers should use the helpers below, which
// give up once the server stops.
class RawTcpServer {
public:
    using Handler = std::function<void(int fd, RawTcpServer& server)>;
    explicit RawTcpServer(Handler handler);
    ~RawTcpServer();

    bool Started() const { return listenFd_ >= 0; }
    uint16_t Port() const { return port_; }
    unsigned Connections() const { return connections_; }
    bool Stopping() const { return stopping_; }

    // Reads up to the end of a request head; false on close or stop.
    bool ReadRequestHead(int fd, std::string* head);
    bool WriteAll(int fd, const std::string& data);
    // Keeps the connection open until the peer closes it or the server stops.
    void HoldOpen(int fd);

private:
    Handler handler_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<unsigned> connections_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace talvik_test

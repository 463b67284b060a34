#include "support/TestHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "support/TestFiles.h"

namespace talvik_test {

namespace {

constexpr char kPartHeader[] =
    "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 4000\r\n\r\n";
constexpr size_t kPartHeaderSize = sizeof(kPartHeader) - 1;
constexpr size_t kPartPayload = 4000;
constexpr size_t kPartSize = kPartHeaderSize + kPartPayload + 2;  // trailing CR LF

struct StreamState {
    TestHttpServer* server;
    uint64_t total;
};

ssize_t StreamReader(void* cls, uint64_t pos, char* buf, size_t max) {
    auto* state = static_cast<StreamState*>(cls);
    if (state->server->Stopping()) return MHD_CONTENT_READER_END_WITH_ERROR;
    if (pos >= state->total) return MHD_CONTENT_READER_END_OF_STREAM;
    size_t n = static_cast<size_t>(std::min<uint64_t>(max, state->total - pos));
    for (size_t i = 0; i < n; ++i)
        buf[i] = static_cast<char>(MjpegStreamByte(pos + i));
    return static_cast<ssize_t>(n);
}

void FreeStream(void* cls) {
    delete static_cast<StreamState*>(cls);
}

MHD_Result AccessHandler(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char* /*version*/, const char* /*upload*/, size_t* /*uploadSize*/,
                         void** /*context*/) {
    return static_cast<TestHttpServer*>(cls)->OnRequest(connection, url, method) ? MHD_YES : MHD_NO;
}

void NotifyConnection(void* cls, MHD_Connection* /*connection*/, void** /*context*/,
                      MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) static_cast<TestHttpServer*>(cls)->OnConnection();
}

MHD_Result CollectQuery(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
    auto* query = static_cast<std::string*>(cls);
    query->append(query->empty() ? "?" : "&");
    query->append(key ? key : "");
    if (value) query->append("=").append(value);
    return MHD_YES;
}

bool WaitReadable(int fd, const std::atomic<bool>& stopping) {
    while (!stopping) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

// Self-signed certificate and key (PEM) for CN=localhost, made once per run
// with the openssl tool. Empty texts when that fails.
const std::pair<std::string, std::string>& TestCertificate() {
    static const std::pair<std::string, std::string> pem = [] {
        const talvik::test::TempDir dir("talvik-cert");
        const std::string& base = dir.Path();
        const std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -keyout " +
            base + "/key.pem -out " + base + "/cert.pem >/dev/null 2>&1";
        std::pair<std::string, std::string> result;
        if (!base.empty() && std::system(command.c_str()) == 0)
            result = {talvik::test::ReadFile(base + "/cert.pem"),
                      talvik::test::ReadFile(base + "/key.pem")};
        return result;
    }();
    return pem;
}

}  // namespace

uint8_t MjpegStreamByte(uint64_t offset) {
    const uint64_t part = offset / kPartSize;
    const size_t at = static_cast<size_t>(offset % kPartSize);
    if (at < kPartHeaderSize) return static_cast<uint8_t>(kPartHeader[at]);
    const size_t payload = at - kPartHeaderSize;
    if (payload >= kPartPayload) return payload == kPartPayload ? '\r' : '\n';
    if (payload == 0 || payload == kPartPayload - 2) return 0xFF;
    if (payload == 1 || payload == kPartPayload - 1) return payload == 1 ? 0xD8 : 0xD9;
    return static_cast<uint8_t>((part * 7 + payload) % 251);
}

TestHttpServer::TestHttpServer(Options options, Handler handler)
    : options_(std::move(options)), handler_(std::move(handler)) {
    digestRandom_.resize(32);
    std::random_device random;
    for (auto& b : digestRandom_)
        b = static_cast<uint8_t>(random());

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION;
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_SOCK_ADDR, 0, &addr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&NotifyConnection), this},
        {MHD_OPTION_DIGEST_AUTH_RANDOM, intptr_t(digestRandom_.size()), digestRandom_.data()}};
    if (options_.tls) {
        const auto& pem = TestCertificate();
        if (pem.first.empty()) return;
        flags |= MHD_USE_TLS;
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(pem.second.c_str())});
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(pem.first.c_str())});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &AccessHandler, this, MHD_OPTION_ARRAY,
                               items.data(), MHD_OPTION_END);
    if (daemon_) {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
        port_ = info ? info->port : 0;
    }
}

TestHttpServer::~TestHttpServer() {
    stopping_ = true;
    if (daemon_) MHD_stop_daemon(daemon_);
}

std::vector<HttpExchange> TestHttpServer::Exchanges() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return exchanges_;
}

int TestHttpServer::OnRequest(MHD_Connection* connection, const char* url, const char* method) {
    HttpExchange exchange;
    exchange.method = method ? method : "";
    std::string query;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectQuery, &query);
    exchange.url = std::string(url ? url : "") + query;
    const char* auth = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
    const char* agent = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "User-Agent");
    exchange.authorization = auth ? auth : "";
    exchange.userAgent = agent ? agent : "";
    {
        std::lock_guard<std::mutex> guard(mutex_);
        exchanges_.push_back(exchange);
    }

    int check = MHD_YES;  // MHD_NO: refused; MHD_INVALID_NONCE: stale
    if (options_.auth == ServerAuth::kBasic) {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        if (!user || !password || options_.userName != user || options_.password != password)
            check = MHD_NO;
        if (user) MHD_free(user);
        if (password) MHD_free(password);
    } else if (options_.auth == ServerAuth::kDigest) {
        char* user = MHD_digest_auth_get_username(connection);
        check = user && options_.userName == user
                    ? MHD_digest_auth_check2(connection, options_.realm.c_str(), user,
                                             options_.password.c_str(), options_.nonceTimeoutS,
                                             MHD_DIGEST_ALG_MD5)
                    : MHD_NO;
        if (user) MHD_free(user);
    }
    MHD_Response* response = nullptr;
    MHD_Result result = MHD_NO;
    const HttpReply reply = check == MHD_YES && handler_ ? handler_(exchange) : HttpReply();
    if (check != MHD_YES) {
        response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        result =
            options_.auth == ServerAuth::kBasic
                ? MHD_queue_basic_auth_fail_response(connection, options_.realm.c_str(), response)
                : MHD_queue_auth_fail_response2(
                      connection, options_.realm.c_str(), "opaque-token", response,
                      check == MHD_INVALID_NONCE ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_MD5);
        MHD_destroy_response(response);
        return result == MHD_YES;
    }
    if (reply.streamBytes > 0) {
        response = MHD_create_response_from_callback(
            reply.announceStreamLength ? reply.streamBytes : MHD_SIZE_UNKNOWN, 32 * 1024,
            &StreamReader, new StreamState{this, reply.streamBytes}, &FreeStream);
    } else {
        response = MHD_create_response_from_buffer(
            reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    }
    if (!response) return false;
    for (const auto& header : reply.headers)
        MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
    if (reply.closeConnection) MHD_add_response_header(response, "Connection", "close");
    result = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return result == MHD_YES;
}

RawTcpServer::RawTcpServer(Handler handler) : handler_(std::move(handler)) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return;
    }
    listenFd_ = fd;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

RawTcpServer::~RawTcpServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

void RawTcpServer::Run() {
    while (WaitReadable(listenFd_, stopping_)) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        handler_(fd, *this);
        ::close(fd);
    }
}

bool RawTcpServer::ReadRequestHead(int fd, std::string* head) {
    head->clear();
    char buf[1024];
    while (head->find("\r\n\r\n") == std::string::npos) {
        if (!WaitReadable(fd, stopping_)) return false;
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return false;
        head->append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool RawTcpServer::WriteAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void RawTcpServer::HoldOpen(int fd) {
    char buf[256];
    while (WaitReadable(fd, stopping_)) {
        if (::recv(fd, buf, sizeof(buf), 0) <= 0) return;
    }
}

}  // namespace talvik_test

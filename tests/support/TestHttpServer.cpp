#include "support/TestHttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "support/TestFiles.h"

namespace talvik_test {

namespace {

// cls: the body's length; the bytes are StreamByte.
ssize_t StreamReader(void* cls, uint64_t pos, char* buf, size_t max) {
    const uint64_t total = *static_cast<uint64_t*>(cls);
    if (pos >= total) return MHD_CONTENT_READER_END_OF_STREAM;
    const size_t n = size_t(std::min<uint64_t>(max, total - pos));
    for (size_t i = 0; i < n; ++i)
        buf[i] = char(StreamByte(pos + i));
    return ssize_t(n);
}

MHD_Result AccessHandler(void* cls, MHD_Connection* connection, const char* url, const char*,
                         const char*, const char*, size_t*, void**) {
    return static_cast<TestHttpServer*>(cls)->OnRequest(connection, url) ? MHD_YES : MHD_NO;
}

void NotifyConnection(void* cls, MHD_Connection*, void**, MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) ++static_cast<TestHttpServer*>(cls)->connections_;
}

MHD_Result CollectQuery(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* query = static_cast<std::string*>(cls);
    query->append(query->empty() ? "?" : "&").append(key ? key : "");
    if (value) query->append("=").append(value);
    return MHD_YES;
}

bool WaitReadable(int fd, const std::atomic<bool>& stopping) {
    while (!stopping) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

// Self-signed certificate and key (PEM) for CN=localhost, made with the
// openssl tool. Empty texts when that fails.
std::pair<std::string, std::string> TestCertificate() {
    const talvik::test::TempDir dir("talvik-cert");
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost "
        "-days 1 -keyout " +
        dir.Path() + "/key.pem -out " + dir.Path() + "/cert.pem >/dev/null 2>&1";
    if (dir.Path().empty() || std::system(command.c_str()) != 0) return {};
    return {talvik::test::ReadFile(dir.Path() + "/cert.pem"),
            talvik::test::ReadFile(dir.Path() + "/key.pem")};
}

}  // namespace

TestHttpServer::TestHttpServer(Options options, Handler handler)
    : options_(options), handler_(std::move(handler)) {
    std::random_device random;
    for (auto& b : digestRandom_)
        b = static_cast<unsigned char>(random());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION;
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_SOCK_ADDR, 0, &addr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&NotifyConnection), this},
        {MHD_OPTION_DIGEST_AUTH_RANDOM, intptr_t(sizeof digestRandom_), digestRandom_}};
    if (options_.tls) {
        static const auto pem = TestCertificate();  // once per run
        if (pem.first.empty()) return;
        flags |= MHD_USE_TLS;
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(pem.second.c_str())});
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(pem.first.c_str())});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &AccessHandler, this, MHD_OPTION_ARRAY,
                               items.data(), MHD_OPTION_END);
    const MHD_DaemonInfo* info =
        daemon_ ? MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
    port_ = info ? info->port : 0;
}

TestHttpServer::~TestHttpServer() {
    if (daemon_) MHD_stop_daemon(daemon_);
}

std::vector<HttpExchange> TestHttpServer::Exchanges() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return exchanges_;
}

bool TestHttpServer::OnRequest(MHD_Connection* connection, const char* url) {
    std::string query;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectQuery, &query);
    const char* auth = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
    const char* agent = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "User-Agent");
    const HttpExchange exchange{url + query, auth ? auth : "", agent ? agent : ""};
    {
        std::lock_guard<std::mutex> guard(mutex_);
        exchanges_.push_back(exchange);
    }
    int check = MHD_YES;  // MHD_NO: refused; MHD_INVALID_NONCE: stale
    if (options_.auth == ServerAuth::kBasic) {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        check = user && password && std::string(user) + ":" + password == "admin:secret";
        MHD_free(user);
        MHD_free(password);
    } else if (options_.auth == ServerAuth::kDigest) {
        char* user = MHD_digest_auth_get_username(connection);
        check = user && std::string(user) == "admin"
                    ? MHD_digest_auth_check2(connection, "camera", user, "secret",
                                             options_.nonceTimeoutS, MHD_DIGEST_ALG_MD5)
                    : MHD_NO;
        MHD_free(user);
    }
    const HttpReply reply = check == MHD_YES && handler_ ? handler_(exchange) : HttpReply();
    MHD_Response* response =
        reply.streamBytes > 0
            ? MHD_create_response_from_callback(
                  reply.announceStreamLength ? reply.streamBytes : MHD_SIZE_UNKNOWN, 32 * 1024,
                  &StreamReader, new uint64_t(reply.streamBytes),
                  [](void* cls) { delete static_cast<uint64_t*>(cls); })
            : MHD_create_response_from_buffer(
                  reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return false;
    for (const auto& header : reply.headers)
        MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
    if (reply.closeConnection) MHD_add_response_header(response, "Connection", "close");
    if (reply.untilClose)
        MHD_set_response_options(response, MHD_RF_HTTP_VERSION_1_0_ONLY, MHD_RO_END);
    const MHD_Result result =
        check == MHD_YES ? MHD_queue_response(connection, reply.status, response)
        : options_.auth == ServerAuth::kBasic
            ? MHD_queue_basic_auth_fail_response(connection, "camera", response)
            : MHD_queue_auth_fail_response2(connection, "camera", "opaque-token", response,
                                            check == MHD_INVALID_NONCE, MHD_DIGEST_ALG_MD5);
    MHD_destroy_response(response);
    return result == MHD_YES;
}

RawTcpServer::RawTcpServer(Handler handler) : handler_(std::move(handler)) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    listenFd_ = fd;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
        while (WaitReadable(listenFd_, stopping_)) {
            const int peer = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) continue;
            ++connections_;
            handler_(peer, *this);
            ::close(peer);
        }
    });
}

RawTcpServer::~RawTcpServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

bool RawTcpServer::ReadRequestHead(int fd, std::string* head) {
    head->clear();
    char buf[1024];
    while (head->find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = WaitReadable(fd, stopping_) ? ::recv(fd, buf, sizeof(buf), 0) : 0;
        if (n <= 0) return false;
        head->append(buf, size_t(n));
    }
    return true;
}

bool RawTcpServer::WriteAll(int fd, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

void RawTcpServer::HoldOpen(int fd) {
    char buf[256];
    while (WaitReadable(fd, stopping_) && ::recv(fd, buf, sizeof(buf), 0) > 0) {
    }
}

}  // namespace talvik_test

#include "HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "Pictures.h"
#include "Query.h"

namespace camsim {
namespace {

const char kRealm[] = "camsim";
const char kBoundary[] = "camsimboundary";

// "count" (default 1) and "interval_ms" (default 100) of a repeated send:
// null when both are whole numbers from 1 to 999999, else the one that is not.
const char* ReadRepeats(std::map<std::string, std::string>& args, unsigned* count,
                        unsigned* interval) {
    const auto read = [&](const char* name, const char* fallback, unsigned* out) {
        const std::string text = args.count(name) ? args[name] : fallback;
        if (text.empty() || text.size() > 6 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *out = static_cast<unsigned>(atoi(text.c_str()));
        return *out >= 1;
    };
    if (!read("count", "1", count)) return "count";
    if (!read("interval_ms", "100", interval)) return "interval_ms";
    return nullptr;
}
const unsigned kMaxUriLength = 4096;

// One MJPEG connection: frames are made when the previous one has been
// written, paced by the requested rate.
struct MjpegStream {
    SimState* state = nullptr;
    std::shared_ptr<StreamStats> stats;
    VideoRequest request;
    unsigned sensor = 1;
    uint64_t epoch = 0;
    Clock::time_point next;
    std::vector<uint8_t> pending;
    size_t offset = 0;
    uint64_t frame = 0;
};

ssize_t ReadMjpeg(void* cls, uint64_t, char* buf, size_t max) {
    auto* s = static_cast<MjpegStream*>(cls);
    if (s->offset >= s->pending.size()) {
        // Wait for the frame's time; a silence that begins meanwhile holds it back.
        do {
            if (!s->state->WaitWhileSilenced(s->epoch)) return MHD_CONTENT_READER_END_WITH_ERROR;
            Clock::time_point now = Clock::now();
            // After a silence, go on at the normal rate instead of catching up.
            if (s->next < now - std::chrono::milliseconds(500)) s->next = now;
            if (!s->state->SleepUntil(s->next, s->epoch)) return MHD_CONTENT_READER_END_WITH_ERROR;
        } while (s->state->Silenced());
        s->next += std::chrono::microseconds(1000000 / s->request.fps);
        ++s->frame;
        std::vector<uint8_t> jpeg =
            MakeJpeg(s->request.width, s->request.height, JpegQuality(s->request.quality),
                     s->sensor, s->frame, s->state->options().exifThumbnail);
        if (jpeg.empty()) return MHD_CONTENT_READER_END_WITH_ERROR;
        std::string head =
            std::string("--") + kBoundary +
            "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
            "\r\n\r\n";
        s->pending.assign(head.begin(), head.end());
        s->pending.insert(s->pending.end(), jpeg.begin(), jpeg.end());
        s->pending.push_back('\r');
        s->pending.push_back('\n');
        s->offset = 0;
        s->stats->frames = s->frame;
    }
    size_t n = std::min(max, s->pending.size() - s->offset);
    memcpy(buf, s->pending.data() + s->offset, n);
    s->offset += n;
    return static_cast<ssize_t>(n);
}

// An answer that never completes: a long announced body, one byte at a time.
constexpr uint64_t kTrickleBytes = 64 * 1024;

struct Trickle {
    SimState* state = nullptr;
    uint64_t epoch = 0;
    unsigned intervalMs = 0;
};

ssize_t ReadTrickle(void* cls, uint64_t, char* buf, size_t max) {
    auto* t = static_cast<Trickle*>(cls);
    if (max == 0) return 0;
    if (!t->state->SleepUntil(Clock::now() + std::chrono::milliseconds(t->intervalMs), t->epoch))
        return MHD_CONTENT_READER_END_WITH_ERROR;
    buf[0] = 'x';
    return 1;
}

void FreeTrickle(void* cls) {
    delete static_cast<Trickle*>(cls);
}

// A single picture sent one byte every intervalMs after its head, or at
// once when intervalMs is 0.
struct TrickledPicture {
    Trickle trickle;
    std::vector<uint8_t> bytes;
};

ssize_t ReadTrickledPicture(void* cls, uint64_t pos, char* buf, size_t max) {
    auto* t = static_cast<TrickledPicture*>(cls);
    if (max == 0 || pos >= t->bytes.size()) return MHD_CONTENT_READER_END_OF_STREAM;
    if (t->trickle.intervalMs == 0) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(max, t->bytes.size() - pos));
        memcpy(buf, t->bytes.data() + pos, count);
        return static_cast<ssize_t>(count);
    }
    if (!t->trickle.state->SleepUntil(
            Clock::now() + std::chrono::milliseconds(t->trickle.intervalMs), t->trickle.epoch))
        return MHD_CONTENT_READER_END_WITH_ERROR;
    buf[0] = static_cast<char>(t->bytes[pos]);
    return 1;
}

void FreeTrickledPicture(void* cls) {
    delete static_cast<TrickledPicture*>(cls);
}

bool IsSinglePicture(const std::string& path) {
    return path.compare(0, 6, "/image") == 0 || path.compare(0, 6, "/h264f") == 0;
}

void FreeMjpeg(void* cls) {
    auto* s = static_cast<MjpegStream*>(cls);
    s->stats->active = false;
    delete s;
}

int SendBytes(MHD_Connection* connection, unsigned status, const std::vector<uint8_t>& body,
              const char* contentType) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<uint8_t*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    int ret = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return ret;
}

std::string AuthScheme(MHD_Connection* connection) {
    const char* value =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    if (!value) return "none";
    if (strncasecmp(value, "Basic", 5) == 0) return "basic";
    if (strncasecmp(value, "Digest", 6) == 0) return "digest";
    return "other";
}

// Sensor number of a path such as "/mjpeg3" after its base "/mjpeg": 0 for no
// suffix, -1 for a suffix that names no sensor of this camera.
int SensorSuffix(const std::string& path, const std::string& base, unsigned sensors) {
    if (path.size() == base.size()) return 0;
    if (path.size() != base.size() + 1) return -1;
    char c = path.back();
    if (c < '1' || c > '0' + static_cast<int>(sensors)) return -1;
    return c - '0';
}

bool ParseSeconds(const std::string& text, double* seconds) {
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || !end || *end != '\0' || !(v >= 0) || v > 3600) return false;
    *seconds = v;
    return true;
}

void* OnUri(void*, const char* uri, MHD_Connection*) {
    return new std::string(uri ? uri : "");
}

void OnCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    delete static_cast<std::string*>(*context);
    *context = nullptr;
}

MHD_Result OnAccess(void* cls, MHD_Connection* connection, const char*, const char* method,
                    const char*, const char*, size_t* uploadSize, void** context) {
    if (*uploadSize != 0) {
        *uploadSize = 0;  // bodies are not used; the reply follows their end
        return MHD_YES;
    }
    auto* uri = static_cast<std::string*>(*context);
    int ret =
        static_cast<HttpServer*>(cls)->Handle(connection, method ? method : "", uri ? *uri : "");
    return ret == MHD_YES ? MHD_YES : MHD_NO;
}

}  // namespace

int SendText(MHD_Connection* connection, unsigned status, const std::string& body,
             const char* contentType) {
    return SendBytes(connection, status, std::vector<uint8_t>(body.begin(), body.end()),
                     contentType);
}

HttpServer::HttpServer(SimState* state, SimControls controls, std::vector<uint8_t> fileKeyFrame)
    : state_(state), controls_(std::move(controls)), fileKeyFrame_(std::move(fileKeyFrame)) {}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Start(uint16_t port, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, state_->options().bind.c_str(), &addr.sin_addr) != 1) {
        *error = "--bind needs an IPv4 address, not '" + state_->options().bind + "'";
        return false;
    }
    static unsigned char random[32];
    std::random_device device;
    for (auto& b : random)
        b = static_cast<unsigned char>(device());
    // poll, not select: with many RTSP sessions the descriptors of new
    // connections lie above FD_SETSIZE, and select-based connections close
    // unanswered.
    daemon_ = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD, port, nullptr, nullptr,
        reinterpret_cast<MHD_AccessHandlerCallback>(&OnAccess), this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&addr), MHD_OPTION_URI_LOG_CALLBACK, &OnUri, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
        MHD_OPTION_CONNECTION_TIMEOUT, 120u, MHD_OPTION_CONNECTION_LIMIT, 200u,
        MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof(random), random, MHD_OPTION_NONCE_NC_SIZE, 1000u,
        MHD_OPTION_END);
    if (!daemon_) {
        *error = "cannot listen on HTTP port " + std::to_string(port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : port;
    return true;
}

void HttpServer::Stop() {
    if (!daemon_) return;
    state_->NewEpoch();  // wakes streams waiting for their next frame
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

int HttpServer::Handle(MHD_Connection* connection, const std::string& method,
                       const std::string& uri) {
    if (uri.size() > kMaxUriLength) return SendText(connection, 414, "URI too long\r\n");
    size_t q = uri.find('?');
    std::string path = uri.substr(0, q);
    std::string query = q == std::string::npos ? "" : uri.substr(q + 1);
    if (path.compare(0, 5, "/sim/") == 0) return HandleSim(connection, path, query);

    state_->LogRequest(method, uri, AuthScheme(connection));
    FaultRule rule;
    if (state_->MatchRule(path, &rule)) {
        if (rule.delayMs > 0 &&
            !state_->SleepUntil(Clock::now() + std::chrono::milliseconds(rule.delayMs),
                                state_->Epoch()))
            return MHD_NO;
        // A single picture is made as usual and then trickled (SendPicture).
        if (rule.trickleMs > 0 && !IsSinglePicture(path)) {
            auto* t = new Trickle{state_, state_->Epoch(), rule.trickleMs};
            MHD_Response* response =
                MHD_create_response_from_callback(kTrickleBytes, 1, &ReadTrickle, t, &FreeTrickle);
            if (!response) {
                FreeTrickle(t);
                return MHD_NO;
            }
            int ret = MHD_queue_response(connection, 200, response);
            MHD_destroy_response(response);
            return ret;
        }
        if (rule.status != 0) {
            MHD_Response* response =
                MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            if (rule.status == 302)
                MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION,
                                        rule.location.empty() ? "/" : rule.location.c_str());
            if (rule.status == 401)
                MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                                        "Basic realm=\"camsim\"");
            int ret = MHD_queue_response(connection, static_cast<unsigned>(rule.status), response);
            MHD_destroy_response(response);
            return ret;
        }
    }
    if (method != "GET" && method != "HEAD")
        return SendText(connection, 405, "405 Method Not Allowed\r\n");
    int result = MHD_NO;
    if (!CheckAuth(connection, &result)) return result;
    return HandleCamera(connection, path, query, rule);
}

bool HttpServer::CheckAuth(MHD_Connection* connection, int* result) {
    const Options& o = state_->options();
    static const char kDenied[] = "401 Unauthorized\r\n";
    if (o.auth == AuthMode::None) return true;
    MHD_Response* response = MHD_create_response_from_buffer(
        strlen(kDenied), const_cast<char*>(kDenied), MHD_RESPMEM_PERSISTENT);
    bool ok = false;
    if (o.auth == AuthMode::Basic) {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        ok = user && password && o.user == user && o.password == password;
        MHD_free(user);
        MHD_free(password);
        if (!ok) *result = MHD_queue_basic_auth_fail_response(connection, kRealm, response);
    } else {
        char* user = MHD_digest_auth_get_username(connection);
        int check = MHD_NO;
        if (user && o.user == user)
            check = MHD_digest_auth_check2(connection, kRealm, o.user.c_str(), o.password.c_str(),
                                           300, MHD_DIGEST_ALG_MD5);
        MHD_free(user);
        ok = check == MHD_YES;
        if (!ok)
            *result = MHD_queue_auth_fail_response2(connection, kRealm, "camsimopaque", response,
                                                    check == MHD_INVALID_NONCE ? MHD_YES : MHD_NO,
                                                    MHD_DIGEST_ALG_MD5);
    }
    MHD_destroy_response(response);
    return ok;
}

int HttpServer::HandleCamera(MHD_Connection* connection, const std::string& path,
                             const std::string& query, const FaultRule& rule) {
    unsigned sensors = state_->options().sensors;
    static const char* const kVideo[] = {"/mjpeg", "/image", "/h264f"};
    for (const char* base : kVideo) {
        size_t len = strlen(base);
        if (path.compare(0, len, base) != 0) continue;
        int sensor = SensorSuffix(path, base, sensors);
        if (sensor < 0) break;
        return HandleVideo(connection, base, sensor == 0 ? 1 : sensor, path, query, rule);
    }
    static const char* const kControl[] = {"/setreg", "/get", "/set"};
    for (const char* base : kControl) {
        size_t len = strlen(base);
        if (path.compare(0, len, base) != 0) continue;
        int sensor = SensorSuffix(path, base, sensors);
        if (sensor < 0) continue;
        if (strcmp(base, "/get") == 0) return HandleGet(connection, sensor, query);
        if (strcmp(base, "/set") == 0) return HandleSet(connection, sensor, query);
        return HandleSetReg(connection, sensor, query);
    }
    return SendText(connection, 404, "404 Not Found\r\n");
}

int HttpServer::HandleGet(MHD_Connection* connection, unsigned sensor, const std::string& query) {
    auto items = SplitQuery(query);
    if (items.empty()) return SendText(connection, 400, "400 Bad Request\r\n");
    std::string body;
    for (const auto& item : items) {
        std::string value;
        // "model=releasename" asks for the model's release name: the name itself.
        if (state_->GetValue(sensor, item.first, &value)) body += item.first + "=" + value + "\r\n";
    }
    return SendText(connection, 200, body);
}

int HttpServer::HandleSet(MHD_Connection* connection, unsigned sensor, const std::string& query) {
    auto items = SplitQuery(query);
    if (items.empty()) return SendText(connection, 400, "400 Bad Request\r\n");
    for (const auto& item : items) {
        if (item.first.empty() || item.first.size() > 64 || item.second.size() > 256 ||
            query.find(item.first + "=") == std::string::npos)
            return SendText(connection, 400, "400 Bad Request\r\n");
    }
    std::string body;
    for (const auto& item : items) {
        state_->SetValue(sensor, item.first, item.second);
        body += item.first + "=" + item.second + "\r\n";
    }
    return SendText(connection, 200, body);
}

int HttpServer::HandleSetReg(MHD_Connection* connection, unsigned sensor,
                             const std::string& query) {
    std::string page, reg, val;
    for (const auto& item : SplitQuery(query)) {
        if (item.first == "page") page = item.second;
        if (item.first == "reg") reg = item.second;
        if (item.first == "val") val = item.second;
    }
    auto numeric = [](const std::string& s) {
        return !s.empty() && s.size() <= 10 &&
               s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!numeric(page) || !numeric(reg) || !numeric(val))
        return SendText(connection, 400, "400 Bad Request\r\n");
    state_->SetRegister(sensor, page, reg, val);
    return SendText(connection, 200, "page=" + page + "&reg=" + reg + "&val=" + val + "\r\n");
}

int HttpServer::HandleVideo(MHD_Connection* connection, const std::string& kind, unsigned sensor,
                            const std::string& path, const std::string& query,
                            const FaultRule& rule) {
    const Options& o = state_->options();
    VideoRequest request;
    std::string error;
    if (!ParseVideoQuery(query, o.sensorWidth, o.sensorHeight, &request, &error))
        return SendText(connection, 400, "400 Bad Request: " + error + "\r\n");
    uint64_t epoch = state_->Epoch();
    if (kind == "/mjpeg") {
        auto* s = new MjpegStream;
        s->state = state_;
        s->request = request;
        s->sensor = sensor;
        s->epoch = epoch;
        s->next = Clock::now();
        s->stats = state_->AddStream("mjpeg", path + "?" + query, sensor, request.width,
                                     request.height, request.fps);
        MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024,
                                                                   &ReadMjpeg, s, &FreeMjpeg);
        if (!response) {
            FreeMjpeg(s);
            return MHD_NO;
        }
        // A camera's stream has no chunked coding and ends with the connection.
        MHD_set_response_options(response, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END);
        std::string type = std::string("multipart/x-mixed-replace;boundary=") + kBoundary;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.c_str());
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
        int ret = MHD_queue_response(connection, 200, response);
        MHD_destroy_response(response);
        return ret;
    }
    // Single pictures wait out a silence like a stalled camera.
    if (!state_->WaitWhileSilenced(epoch)) return MHD_NO;
    if (kind == "/image") {
        std::vector<uint8_t> jpeg =
            MakeJpeg(request.width, request.height, JpegQuality(request.quality), sensor,
                     state_->NextImageNumber(sensor), state_->options().exifThumbnail);
        if (jpeg.empty()) return SendText(connection, 500, "500 Internal Server Error\r\n");
        return SendPicture(connection, std::move(jpeg), "image/jpeg", rule, epoch);
    }
    std::vector<uint8_t> keyFrame = fileKeyFrame_;
    if (keyFrame.empty() && !EncodeKeyFrame(request.width, request.height, &keyFrame, &error))
        return SendText(connection, 500, "500 Internal Server Error: " + error + "\r\n");
    return SendPicture(connection, std::move(keyFrame), "video/H264", rule, epoch);
}

int HttpServer::SendPicture(MHD_Connection* connection, std::vector<uint8_t> picture,
                            const char* contentType, const FaultRule& rule, uint64_t epoch) {
    MHD_Response* response = nullptr;
    if (rule.trickleMs > 0) {
        auto* t = new TrickledPicture{{state_, epoch, rule.trickleMs}, std::move(picture)};
        response = MHD_create_response_from_callback(t->bytes.size(), 1, &ReadTrickledPicture, t,
                                                     &FreeTrickledPicture);
        if (!response) FreeTrickledPicture(t);
    } else if (rule.announcedLength >= 0) {
        // The whole picture after a head that announces another length: a
        // body of unknown size that ends with the connection, as such a
        // camera's does, so that the server adds no length of its own.
        auto* t = new TrickledPicture{{state_, epoch, 0}, std::move(picture)};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024,
                                                     &ReadTrickledPicture, t, &FreeTrickledPicture);
        if (!response) FreeTrickledPicture(t);
        if (response) {
            MHD_set_response_options(
                response,
                static_cast<MHD_ResponseFlags>(MHD_RF_HTTP_1_0_COMPATIBLE_STRICT |
                                               MHD_RF_INSANITY_HEADER_CONTENT_LENGTH),
                MHD_RO_END);
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_LENGTH,
                                    std::to_string(rule.announcedLength).c_str());
        }
    } else {
        return SendBytes(connection, 200, picture, contentType);
    }
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    int ret = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return ret;
}

int HttpServer::HandleSim(MHD_Connection* connection, const std::string& path,
                          const std::string& query) {
    std::map<std::string, std::string> args;
    for (const auto& item : SplitQuery(query))
        args[item.first] = item.second;
    auto bad = [&](const std::string& why) {
        return SendText(connection, 400, "400 Bad Request: " + why + "\r\n");
    };
    double seconds = 0;
    if (path == "/sim/requests") {
        std::string text = state_->RequestsText();
        if (args.count("clear")) state_->ClearRequests();
        return SendText(connection, 200, text);
    }
    if (path == "/sim/stats") {
        std::string text = state_->StreamsText();
        text += "rtsp_sessions=" + std::to_string(controls_.rtspSessions()) + "\n";
        return SendText(connection, 200, text);
    }
    if (path == "/sim/silence") {
        if (!ParseSeconds(args["seconds"], &seconds)) return bad("seconds");
        state_->SilenceFor(seconds);
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/drop-sessions") {
        if (!controls_.dropSessions()) return SendText(connection, 500, "not done\n");
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/reboot") {
        if (!ParseSeconds(args["seconds"], &seconds)) return bad("seconds");
        controls_.reboot(seconds);
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/fault") {
        if (args.count("clear")) {
            state_->ClearRules();
            return SendText(connection, 200, "ok\n");
        }
        FaultRule rule;
        rule.prefix = args["prefix"];
        if (rule.prefix.empty() || rule.prefix[0] != '/') return bad("prefix");
        rule.method = args["method"];
        if (rule.method.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") != std::string::npos)
            return bad("method");
        std::string status = args["status"], delay = args["delay_ms"], count = args["count"];
        std::string trickle = args["trickle_ms"], length = args["content_length"];
        if (!status.empty()) {
            rule.status = atoi(status.c_str());
            if (rule.status < 100 || rule.status > 599) return bad("status");
        }
        if (!delay.empty()) {
            if (delay.size() > 6 || delay.find_first_not_of("0123456789") != std::string::npos)
                return bad("delay_ms");
            rule.delayMs = static_cast<unsigned>(atol(delay.c_str()));
            if (rule.delayMs == 0 || rule.delayMs > 600000) return bad("delay_ms");
        }
        if (!trickle.empty()) {
            if (trickle.size() > 6 || trickle.find_first_not_of("0123456789") != std::string::npos)
                return bad("trickle_ms");
            rule.trickleMs = static_cast<unsigned>(atol(trickle.c_str()));
            if (rule.trickleMs == 0 || rule.trickleMs > 600000 || rule.status != 0)
                return bad("trickle_ms");
        }
        if (!length.empty()) {
            if (length.size() > 10 || length.find_first_not_of("0123456789") != std::string::npos ||
                rule.status != 0 || rule.trickleMs != 0)
                return bad("content_length");
            rule.announcedLength = atoll(length.c_str());
        }
        if (rule.status == 0 && rule.delayMs == 0 && rule.trickleMs == 0 &&
            rule.announcedLength < 0)
            return bad("status, delay_ms, trickle_ms or content_length");
        if (!count.empty()) {
            rule.remaining = atoi(count.c_str());
            if (rule.remaining <= 0) return bad("count");
        }
        rule.location = args["location"];
        state_->AddRule(rule);
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/rtp-drop") {
        std::string p = args["percent"];
        int percent = atoi(p.c_str());
        if (p.empty() || p.find_first_not_of("0123456789") != std::string::npos || percent > 100)
            return bad("percent");
        state_->SetRtpDropPercent(static_cast<unsigned>(percent));
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/content-base") {
        const std::string& v = args["send"];
        if (v != "0" && v != "1") return bad("send");
        state_->SetSendContentBase(v == "1");
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/rtcp") {
        const std::string& hex = args["hex"];
        std::vector<uint8_t> bytes;
        if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 2 * 1400 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return bad("hex");
        for (size_t i = 0; i < hex.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        unsigned count = 0, interval = 0;
        if (const char* wrong = ReadRepeats(args, &count, &interval)) return bad(wrong);
        if (controls_.sendRtcp(bytes, count, interval) == 0)
            return SendText(connection, 409, "no client plays over interleaved TCP\n");
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/stranger") {
        unsigned count = 0, interval = 0;
        if (const char* wrong = ReadRepeats(args, &count, &interval)) return bad(wrong);
        if (controls_.sendStranger(count, interval) == 0)
            return SendText(connection, 409, "no client plays\n");
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/auxin") {
        const std::string& v = args["value"];
        if (v != "0" && v != "1" && v != "on" && v != "off") return bad("value");
        state_->SetAuxIn(v == "1" || v == "on");
        return SendText(connection, 200, "ok\n");
    }
    if (path == "/sim/auxout") return SendText(connection, 200, state_->AuxOutText());
    if (path == "/sim/registers") return SendText(connection, 200, state_->RegistersText());
    return SendText(connection, 404, "404 Not Found\r\n");
}

}  // namespace camsim

#include "rtsp/RTSPClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Event.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTSPConnection.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"
#include "support/Threads.h"

namespace talvik {
namespace {

// An RTSP connection that answers each request with the next scripted reply,
// for driving the client without a network. "{cseq}" in a reply becomes the
// CSeq of the request it answers. Thread-safe.
class ScriptedConnection : public IRTSPConnection {
public:
    // Replies in request order; a request beyond the script gets no answer.
    void Script(std::vector<std::string> replies) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.assign(replies.begin(), replies.end());
    }
    // Bytes that arrive without a request (interleaved frames).
    void Push(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        inbound_ += bytes;
        changed_.notify_all();
    }
    bool WaitForRequests(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return requests_.size() >= count; });
    }
    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // What `sample` returned when request `index` went out.
    bool SampledAt(size_t index) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sampled_.at(index);
    }
    // Milliseconds from request `from` to request `to`.
    long long MsBetween(size_t from, size_t to) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::chrono::duration_cast<std::chrono::milliseconds>(times_.at(to) -
                                                                     times_.at(from))
            .count();
    }

    bool Connect(const RTSPConnectionParams& params) override {
        std::lock_guard<std::mutex> lock(mutex_);
        timeoutMs_ = params.receiveTimeoutMs;
        interrupted_ = false;
        return open_ = true;
    }
    bool IsOpen() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }
    int Send(const char* data, size_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return -1;
        requests_.emplace_back(data, size);
        times_.push_back(std::chrono::steady_clock::now());
        sampled_.push_back(sample ? sample() : false);
        if (!replies_.empty()) {
            std::string reply = replies_.front();
            replies_.pop_front();
            const std::string& request = requests_.back();
            const size_t at = request.find("CSeq: ") + 6;
            const std::string cseq = request.substr(at, request.find("\r\n", at) - at);
            for (size_t p = reply.find("{cseq}"); p != std::string::npos; p = reply.find("{cseq}"))
                reply.replace(p, 6, cseq);
            inbound_ += reply;
        }
        changed_.notify_all();
        return static_cast<int>(size);
    }
    int Receive(uint8_t* buffer, size_t size) override {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool interruptedBefore = interrupted_;
        changed_.wait_for(lock, std::chrono::milliseconds(interrupted_ ? 100 : timeoutMs_), [&] {
            return !inbound_.empty() || (interrupted_ && !interruptedBefore);
        });
        const size_t n = std::min({size, maxChunk, inbound_.size()});
        if (n == 0) return -1;
        std::memcpy(buffer, inbound_.data(), n);
        inbound_.erase(0, n);
        return static_cast<int>(n);
    }
    void Interrupt() override {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupted_ = true;
        changed_.notify_all();
    }
    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }

    size_t maxChunk = 1 << 20;     // largest piece one Receive hands out
    std::function<bool()> sample;  // called as each request goes out

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> replies_;
    std::vector<std::string> requests_;
    std::vector<std::chrono::steady_clock::time_point> times_;
    std::vector<bool> sampled_;
    std::string inbound_;
    uint32_t timeoutMs_ = 1000;
    bool open_ = false;
    bool interrupted_ = false;
};

const char kSdp[] =
    "v=0\r\no=- 1 1 IN IP4 192.168.1.20\r\ns=Session streamed with GStreamer\r\nt=0 0\r\n"
    "m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoLQSZ,aM4xsg==\r\n"
    "a=control:stream=0\r\n";

std::string DescribeOk(const std::string& contentBase = "rtsp://192.168.1.20:554/h264.sdp/",
                       const std::string& sdp = kSdp) {
    return "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\nContent-Type: application/sdp\r\nContent-Base: " +
           contentBase + "\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

const std::string kSetupUdpOk =
    "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\nTransport: RTP/AVP;unicast;client_port=5000-5001;"
    "server_port=6970-6971;ssrc=7B3C1D2E\r\nSession: 12345678;timeout=60\r\n\r\n";
const std::string kSetupInterleavedOk =
    "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
    "Session: 12345678;timeout=60\r\n\r\n";
const std::string kOk = "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\nSession: 12345678\r\n\r\n";
const std::string kOptionsGetParameter =
    "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\n"
    "Public: OPTIONS, DESCRIBE, GET_PARAMETER, PAUSE, PLAY, SETUP, SET_PARAMETER, TEARDOWN\r\n\r\n";

using talvik_test::WaitUntil;

// A status line without headers, for keep-alive answers.
std::string Status(const std::string& codeAndReason) {
    return "RTSP/1.0 " + codeAndReason + "\r\nCSeq: {cseq}\r\n\r\n";
}

class RecordingUser : public IRTSPClientUser {
public:
    bool OnRTSPSessionReady(RTSPSessionInfo* info) override {
        if (throwOnReady) throw std::runtime_error(info->sessionId);
        return true;
    }
    void OnInterleavedPacket(CRTPPacket* packet) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sequences_.push_back(packet->sequenceNumber);
    }
    void OnRTSPClientStopped() override { ++stopped; }
    // The numbers 1 to `last` arrived, and nothing else.
    bool WaitForNumbersUpTo(uint16_t last) {
        std::vector<uint16_t> expected(last);
        std::iota(expected.begin(), expected.end(), uint16_t(1));
        const bool arrived = WaitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return sequences_.size() >= last;
        });
        std::lock_guard<std::mutex> lock(mutex_);
        return arrived && sequences_ == expected;
    }

    bool throwOnReady = false;
    std::atomic<int> stopped{0};

private:
    std::mutex mutex_;
    std::vector<uint16_t> sequences_;
};

RTSPClientSettings CameraSettings() {
    RTSPClientSettings s;
    s.host = "192.168.1.20";
    s.serverPort = 554;
    s.path = "/h264.sdp?res=full";
    s.clientRtpPort = 5000;
    s.clientRtcpPort = 5001;
    s.user = "admin";
    s.password = "secret";
    s.receiveTimeoutMs = 1000;
    return s;
}

// An interleaved RTP packet on channel 0 with the given number.
std::string RtpFrame(uint16_t sequence) {
    std::string frame("$\0\0\x0E\x80\x60\0\0\0\0\0\0\1\2\3\4\x65\x11", 18);
    frame[6] = static_cast<char>(sequence >> 8);
    frame[7] = static_cast<char>(sequence & 0xFF);
    return frame;
}

class RTSPClientTest : public ::testing::Test {
protected:
    RTSPClientTest() {
        auto connection = std::make_unique<ScriptedConnection>();
        camera = connection.get();
        client = std::make_unique<CBaseRTSPClient>(&logger, std::move(connection));
    }

    // Pushes numbered frames until `requests` requests were sent; the next number.
    uint16_t PushFramesUntilRequests(size_t requests, uint16_t sequence, int napMs) {
        while (camera->Requests().size() < requests && sequence < 200) {
            camera->Push(RtpFrame(sequence++));
            std::this_thread::sleep_for(std::chrono::milliseconds(napMs));
        }
        return sequence;
    }

    talvik_test::RecordingLogger logger;
    ScriptedConnection* camera;  // owned by the client
    std::unique_ptr<CBaseRTSPClient> client;
    RecordingUser user;
};

std::string FloodedHeaders() {
    std::string flood = "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\n";
    while (flood.size() < 3 * kRTSPMaxHeaderBytes)
        flood += "X-Filler: 0123456789abcdef\r\n";
    return flood;
}

const std::string kChallenge =
    "RTSP/1.0 401 Unauthorized\r\nCSeq: {cseq}\r\nWWW-Authenticate: Basic realm=\"c\"\r\n\r\n";

// The method of each request, blank-separated.
std::string Methods(const std::vector<std::string>& requests) {
    std::string methods;
    for (const std::string& r : requests)
        methods += (methods.empty() ? "" : " ") + r.substr(0, r.find(' '));
    return methods;
}

#define kRefused "talvik::CBaseRTSPClient::Request: Device 127.0.0.1:80 refused RTSP"

// The camera's answers, blank-separated: D the description, S the UDP
// set-up, O, C a Basic challenge, F an endless header block, H a hostile
// reason phrase, or a status code.
std::vector<std::string> Answers(const std::string& words) {
    const std::map<std::string, std::string> named = {
        {"D", DescribeOk()},
        {"S", kSetupUdpOk},
        {"O", kOk},
        {"C", kChallenge},
        {"F", FloodedHeaders()},
        {"H", Status("404 Gone%s%n\x01" + std::string(200, 'x'))},
        {"400", Status("400 Bad Request")},
        {"404", Status("404 Not Found")},
        {"461", Status("461 Unsupported Transport")},
        {"500", Status("500 Internal Server Error")}};
    std::vector<std::string> answers;
    std::istringstream in(words);
    for (std::string word; in >> word;)
        answers.push_back(named.at(word));
    return answers;
}

// A row of tests/rtsp/data/runs.txt: name | answers | accepts or refuses |
// methods | refusals.
using RunsCase = std::vector<std::string>;

std::vector<RunsCase> RunsCases() {
    std::istringstream all(talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/rtsp/data/runs.txt"));
    std::vector<RunsCase> cases;
    for (std::string line; std::getline(all, line);) {
        if (line.empty() || line[0] == '#') continue;
        cases.emplace_back();
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '|');) {
            const size_t from = f.find_first_not_of(' ');
            cases.back().push_back(from == std::string::npos
                                       ? ""
                                       : f.substr(from, f.find_last_not_of(' ') + 1 - from));
        }
        cases.back().resize(5);
    }
    return cases;
}

class Runs : public RTSPClientTest, public ::testing::WithParamInterface<RunsCase> {};

// Each run ends by itself or reaches PLAY, and is then stopped. No PLAY after
// a failure; a TEARDOWN once a SETUP went out, repeated at the next run only
// while unanswered. A refusal is logged once per run of identical refusals,
// with the method, status and reason phrase, and without credentials.
TEST_P(Runs, RequestsAndRefusals) {
    const RunsCase& c = GetParam();
    user.throwOnReady = c[2] == "refuses";
    std::string methods;
    std::istringstream runs(c[1]);
    for (std::string run; std::getline(runs, run, '/');) {
        camera->Script(Answers(run));
        const size_t before = camera->Requests().size();
        const int stopped = user.stopped;
        ASSERT_TRUE(client->Start(CameraSettings(), &user, kRTSPTransportUdp));
        ASSERT_TRUE(WaitUntil([&] {
            const std::vector<std::string> r = camera->Requests();
            return user.stopped > stopped || (r.size() > before && r.back().rfind("PLAY", 0) == 0);
        }));
        client->Stop();
        EXPECT_EQ(user.stopped, stopped + 1);
        const std::vector<std::string> requests = camera->Requests();
        methods +=
            (methods.empty() ? "" : " / ") +
            Methods(std::vector<std::string>(requests.begin() + long(before), requests.end()));
    }
    EXPECT_EQ(methods, c[3]);
    std::string refusals;
    for (const talvik_test::LogLine& line : logger.Lines()) {
        EXPECT_EQ(1u, line.level) << line.text;
        const size_t prefix = std::strlen(kRefused " ");
        EXPECT_EQ(line.text.substr(0, prefix), kRefused " ");
        refusals += (refusals.empty() ? "" : "/") + line.text.substr(prefix);
    }
    EXPECT_EQ(refusals, c[4]);
}

INSTANTIATE_TEST_SUITE_P(Cases, Runs, ::testing::ValuesIn(RunsCases()),
                         [](const auto& info) { return info.param[0]; });

// A session from tests/rtsp/sessions/<name>.txt: an optional "settings:" line
// of key=value words (Transcript), then "camera:" answers and "client:"
// requests, each line of them a CRLF-ended line; a line ending in "..." ends a
// request's expected start.
struct Transcript {
    RTSPClientSettings settings = CameraSettings();
    uint32_t mode = kRTSPTransportUdp;
    size_t maxChunk = 1 << 20;
    uint32_t intervalMs = 0;  // the keep-alive interval expected; 0: not checked
    int alive = -1;           // the session is alive as the last request goes out (1) or ends (0)
    long long withinMs = 0;   // the longest gap between requests; 0: not checked
    std::vector<std::string> answers, requests;
};

Transcript ReadTranscript(const std::string& name) {
    Transcript t;
    std::istringstream in(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/rtsp/sessions/" + name + ".txt"));
    std::vector<std::string>* block = nullptr;
    for (std::string line; std::getline(in, line);) {
        if (line == "camera:" || line == "client:") {
            block = line == "camera:" ? &t.answers : &t.requests;
            block->emplace_back();
        } else if (block != nullptr) {
            const size_t dots = line.size() >= 3 && line.substr(line.size() - 3) == "..." ? 3 : 0;
            block->back() += dots ? line.substr(0, line.size() - dots) : line + "\r\n";
        } else if (line.rfind("settings:", 0) == 0) {
            std::istringstream words(line.substr(9));
            for (std::string w; words >> w;) {
                const std::string key = w.substr(0, w.find('=')), value = w.substr(key.size() + 1);
                if (key == "mode")
                    t.mode = value == "tcp" ? kRTSPTransportTcp : kRTSPTransportInterleaved;
                else if (key == "blocksize")
                    t.settings.blockSize = uint32_t(std::stoul(value));
                else if (key == "chunk")
                    t.maxChunk = std::stoul(value);
                else if (key == "default-timeout")
                    t.settings.defaultSessionTimeout = uint32_t(std::stoul(value));
                else if (key == "interval")
                    t.intervalMs = uint32_t(std::stoul(value));
                else if (key == "keepalive")
                    t.settings.sendKeepAlive = value == "1";
                else if (key == "alive")
                    t.alive = std::stoi(value);
                else if (key == "within")
                    t.withinMs = std::stoll(value);
                else if (key == "user")
                    t.settings.user = value;
                else
                    t.settings.password = value;
            }
        }
    }
    return t;
}

std::vector<std::string> TranscriptNames() {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(TALVIK_SOURCE_DIR "/tests/rtsp/sessions"))
        names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Session : public RTSPClientTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(Session, SendsTheTranscriptsRequests) {
    const Transcript t = ReadTranscript(GetParam());
    ASSERT_FALSE(t.requests.empty());
    camera->maxChunk = t.maxChunk;
    camera->Script(t.answers);
    camera->sample = [this] { return client->GetLastRequestOk(); };
    // A closing TEARDOWN is Stop's.
    const size_t count = t.requests.size() - (t.requests.back().rfind("TEARDOWN", 0) == 0);
    ASSERT_TRUE(client->Start(t.settings, &user, t.mode));
    ASSERT_TRUE(camera->WaitForRequests(count));
    if (t.alive >= 0) {
        EXPECT_TRUE(t.alive ? camera->SampledAt(count - 1)
                            : WaitUntil([&] { return !client->GetLastRequestOk(); }));
    }
    for (size_t i = 1; t.withinMs != 0 && i < count; ++i)
        EXPECT_LT(camera->MsBetween(i - 1, i), t.withinMs) << i;
    client->Stop();
    const std::vector<std::string> requests = camera->Requests();
    EXPECT_EQ(1, user.stopped);
    EXPECT_FALSE(client->IsConnected());
    ASSERT_GE(requests.size(), t.requests.size());
    for (size_t i = 0; i < t.requests.size(); ++i)
        EXPECT_EQ(t.requests[i], requests[i].substr(0, t.requests[i].size())) << i;
    if (t.intervalMs != 0) {
        EXPECT_EQ(t.intervalMs, client->GetKeepAliveIntervalMs());
    }
}

INSTANTIATE_TEST_SUITE_P(Transcripts, Session, ::testing::ValuesIn(TranscriptNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

TEST_F(RTSPClientTest, InterleavedKeepAliveAnswerDoesNotDisturbFrames) {
    RTSPClientSettings settings = CameraSettings();
    settings.sendKeepAlive = true;
    camera->Script(
        {kOptionsGetParameter, DescribeOk(),
         "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
         "Session: 12345678;timeout=1\r\n\r\n",
         kOk + RtpFrame(1)});
    ASSERT_TRUE(client->Start(settings, &user, kRTSPTransportInterleaved));
    ASSERT_TRUE(camera->WaitForRequests(4));
    // Frames keep coming until the keep-alive goes out (after a second).
    const uint16_t sequence = PushFramesUntilRequests(5, 2, 50);
    const std::vector<std::string> requests = camera->Requests();
    ASSERT_EQ(5u, requests.size());
    EXPECT_EQ(
        "GET_PARAMETER rtsp://192.168.1.20:554/h264.sdp/ RTSP/1.0\r\nCSeq: 5\r\n"
        "User-Agent: Talvik\r\nSession: 12345678\r\n\r\n",
        requests[4]);
    camera->Push("RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 12345678\r\n\r\n" + RtpFrame(sequence));
    EXPECT_TRUE(user.WaitForNumbersUpTo(sequence));
    client->Stop();
}

// The client thread reads media after PLAY: PAUSE and PLAY asked meanwhile go
// out at once, and their answers among the frames disturb nothing.
TEST_F(RTSPClientTest, InterleavedPauseAndPlayGoOutWhileMediaFlows) {
    camera->Script({DescribeOk(), kSetupInterleavedOk, kOk + RtpFrame(1)});
    ASSERT_TRUE(client->Start(CameraSettings(), &user, kRTSPTransportInterleaved));
    ASSERT_TRUE(user.WaitForNumbersUpTo(1));
    client->RequestPause();
    const uint16_t sequence = PushFramesUntilRequests(4, 2, 20);
    ASSERT_EQ(4u, camera->Requests().size());
    EXPECT_EQ(camera->Requests()[3],
              "PAUSE rtsp://192.168.1.20:554/h264.sdp/ RTSP/1.0\r\nCSeq: 4\r\nUser-Agent: "
              "Talvik\r\nSession: 12345678\r\nRange: npt=0.000-\r\n\r\n");
    EXPECT_TRUE(client->IsPaused());
    client->RequestPlay();
    camera->Push("RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: 12345678\r\n\r\n" + RtpFrame(sequence));
    ASSERT_TRUE(camera->WaitForRequests(5));
    EXPECT_EQ(0u,
              camera->Requests()[4].find("PLAY rtsp://192.168.1.20:554/h264.sdp/ RTSP/1.0\r\n"));
    EXPECT_FALSE(client->IsPaused());
    camera->Push("RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 12345678\r\n\r\n" +
                 RtpFrame(uint16_t(sequence + 1)));
    EXPECT_TRUE(user.WaitForNumbersUpTo(uint16_t(sequence + 1)));
    client->Stop();
}

TEST(RTSPClientNetwork, StopWhileCameraNeverAnswersReturnsWithinTheLimit) {
    talvik::CManualEvent requestRead;
    talvik_test::RawTcpServer camera([&](int fd, talvik_test::RawTcpServer& server) {
        std::string head;
        if (server.ReadRequestHead(fd, &head)) requestRead.Set();
        server.HoldOpen(fd);  // never answers
    });
    ASSERT_TRUE(camera.Started());
    talvik_test::RecordingLogger logger;
    RecordingUser user;
    CBaseRTSPClient client(&logger);
    RTSPClientSettings settings;
    settings.host = "127.0.0.1";
    settings.serverPort = camera.Port();
    settings.path = "h264.sdp";
    ASSERT_TRUE(client.Start(settings, &user, kRTSPTransportInterleaved));
    EXPECT_TRUE(client.IsConnected());
    ASSERT_TRUE(requestRead.Wait(10000));

    const auto before = std::chrono::steady_clock::now();
    client.Stop();
    // With the default time-outs the limit is (5000 ms * 2) + 1000 ms, of
    // which a stop that wakes the blocked receive needs a small part.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(7000));
    EXPECT_EQ(1, user.stopped);  // the body ended by itself, it was not killed
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(0u, logger.Count(2));  // no "will be terminated" warning
}

TEST(RTSPClientNetwork, RefusedConnectionFailsStart) {
    uint16_t port;
    {
        talvik_test::RawTcpServer closed([](int, talvik_test::RawTcpServer&) {});
        port = closed.Port();
    }
    talvik_test::RecordingLogger logger;
    RecordingUser user;
    CBaseRTSPClient client(&logger);
    RTSPClientSettings settings;
    settings.host = "127.0.0.1";
    settings.serverPort = port;
    EXPECT_FALSE(client.Start(settings, &user, kRTSPTransportUdp));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(0, user.stopped);
}

}  // namespace
}  // namespace talvik

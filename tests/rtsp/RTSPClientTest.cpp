#include "rtsp/RTSPClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/Text.h"
#include "rtsp/RTPPacket.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"
#include "support/Threads.h"

namespace talvik {
namespace {

using talvik_test::WaitUntil;

// A named answer of data/answers.txt; F is a header block that never ends, H
// a hostile reason phrase.
std::string Answer(const std::string& name) {
    std::string text = "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\n";
    while (name == "F" && text.size() < 3 * kRTSPMaxHeaderBytes)
        text += "X-Filler: 0123456789abcdef\r\n";
    if (name == "H")
        text = "RTSP/1.0 404 Gone%s%n\x01" + std::string(200, 'x') + "\r\nCSeq: {cseq}\r\n\r\n";
    for (const auto& row : test::DataRows("rtsp/data/answers.txt"))
        if (row[0] == name) text = row[1];
    for (size_t p; (p = text.find("\\r\\n")) != std::string::npos;)
        text.replace(p, 4, "\r\n");
    return text;
}

// An RTSP connection that answers each request with the next scripted reply,
// for driving the client without a network. "{cseq}" in a reply becomes the
// CSeq of the request it answers; a request beyond the script gets no answer.
struct ScriptedConnection : IRTSPConnection {
    struct Request {
        std::string text;
        std::chrono::steady_clock::time_point at;
        bool sampled;  // what `sample` returned as the request went out
    };
    // Replies in request order: texts, or names of Answer.
    void Script(std::vector<std::string> replies) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.clear();
        for (const std::string& reply : replies)
            replies_.push_back(reply.find(' ') == std::string::npos ? Answer(reply) : reply);
    }
    // Bytes that arrive without a request (interleaved frames).
    void Push(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        inbound_ += bytes;
        changed_.notify_all();
    }
    std::vector<Request> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
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
        const std::string request(data, size);
        requests_.push_back({request, std::chrono::steady_clock::now(), sample && sample()});
        if (!replies_.empty()) {
            const size_t at = request.find("CSeq: ") + 6;
            std::string reply = replies_.front();
            replies_.pop_front();
            for (size_t p; (p = reply.find("{cseq}")) != std::string::npos;)
                reply.replace(p, 6, request.substr(at, request.find("\r\n", at) - at));
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
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> replies_;
    std::vector<Request> requests_;
    std::string inbound_;
    uint32_t timeoutMs_ = 1000;
    bool open_ = false;
    bool interrupted_ = false;
};

// An interleaved RTP packet on channel 0 with the given number.
std::string RtpFrame(uint16_t sequence) {
    return std::string("$\0\0\x0E\x80\x60", 6) + char(sequence >> 8) + char(sequence) +
           std::string("\0\0\0\0\1\2\3\4\x65\x11", 10);
}

struct RecordingUser : IRTSPClientUser {
    bool OnRTSPSessionReady(RTSPSessionInfo* info) override {
        if (throwOnReady) throw std::runtime_error(info->sessionId);
        return true;
    }
    void OnInterleavedPacket(CRTPPacket* packet) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sequences_.push_back(packet->sequenceNumber);
    }
    void OnRTSPClientStopped() override { ++stopped; }
    // The numbers 1 to `last` arrive, and nothing else.
    bool WaitForNumbersUpTo(uint16_t last) {
        std::vector<uint16_t> expected(last);
        for (uint16_t& n : expected)
            n = uint16_t(&n - &expected[0] + 1);
        return WaitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return sequences_ == expected;
        });
    }

    bool throwOnReady = false;
    std::atomic<int> stopped{0};
    std::mutex mutex_;
    std::vector<uint16_t> sequences_;
};

RTSPClientSettings CameraSettings() {
    RTSPClientSettings s;
    s.host = "192.168.1.20";
    s.path = "/h264.sdp?res=full";
    s.clientRtpPort = 5000;
    s.clientRtcpPort = 5001;
    s.user = "admin";
    s.password = "secret";
    s.receiveTimeoutMs = 1000;
    return s;
}

struct RTSPClientTest : ::testing::Test {
    RTSPClientTest() {
        auto connection = std::make_unique<ScriptedConnection>();
        camera = connection.get();
        client = std::make_unique<CBaseRTSPClient>(&logger, std::move(connection));
    }

    talvik_test::RecordingLogger logger;
    ScriptedConnection* camera;  // owned by the client
    std::unique_ptr<CBaseRTSPClient> client;
    RecordingUser user;
};

#define kRefused "talvik::CBaseRTSPClient::Request: Device 127.0.0.1:80 refused RTSP "

class Runs : public RTSPClientTest,
             public ::testing::WithParamInterface<std::vector<std::string>> {};

// A row of data/runs.txt. Each run ends by itself or reaches PLAY, and is then
// stopped. No PLAY after a failure; a TEARDOWN once a SETUP went out, repeated
// at the next run only while unanswered. A refusal is logged once per run of
// identical refusals, with the method, status and reason phrase, and without
// credentials.
TEST_P(Runs, RequestsAndRefusals) {
    const std::vector<std::string>& c = GetParam();
    user.throwOnReady = c[2] == "refuses";
    std::string methods, refusals;
    std::istringstream runs(c[1]);
    for (std::string run; std::getline(runs, run, '/');) {
        std::istringstream words(run);
        camera->Script({std::istream_iterator<std::string>(words), {}});
        const size_t before = camera->Requests().size();
        const int stopped = user.stopped;
        ASSERT_TRUE(client->Start(CameraSettings(), &user, kRTSPTransportUdp));
        ASSERT_TRUE(WaitUntil([&] {
            const auto r = camera->Requests();
            return user.stopped > stopped ||
                   (r.size() > before && r.back().text.rfind("PLAY", 0) == 0);
        }));
        client->Stop();
        EXPECT_EQ(user.stopped, stopped + 1);
        const auto requests = camera->Requests();
        methods += methods.empty() ? "" : " /";
        for (size_t i = before; i < requests.size(); ++i)
            methods += (methods.empty() ? "" : " ") +
                       requests[i].text.substr(0, requests[i].text.find(' '));
    }
    EXPECT_EQ(methods, c[3]);
    for (const talvik_test::LogLine& line : logger.Lines()) {
        EXPECT_EQ(1u, line.level) << line.text;
        EXPECT_EQ(line.text.substr(0, std::strlen(kRefused)), kRefused);
        refusals += (refusals.empty() ? "" : "/") + line.text.substr(std::strlen(kRefused));
    }
    EXPECT_EQ(refusals, c[4] == "none" ? "" : c[4]);
}

INSTANTIATE_TEST_SUITE_P(Cases, Runs, ::testing::ValuesIn(test::DataRows("rtsp/data/runs.txt")),
                         [](const auto& info) { return info.param[0]; });

class Session : public RTSPClientTest, public ::testing::WithParamInterface<std::string> {};

// A session of sessions/<name>.txt: an optional "settings:" line of key=value
// words, then "camera:" answers and "client:" requests, each line of them a
// CRLF-ended line; a line ending in "..." ends a request's expected start.
TEST_P(Session, SendsTheTranscriptsRequests) {
    std::map<std::string, std::string> set = {{"blocksize", "0"},     {"default-timeout", "60"},
                                              {"keepalive", "0"},     {"user", "admin"},
                                              {"password", "secret"}, {"chunk", "1048576"},
                                              {"mode", "udp"},        {"within", "600000"}};
    std::vector<std::string> answers, expected, *block = nullptr;
    std::istringstream in(
        test::ReadFile(TALVIK_SOURCE_DIR "/tests/rtsp/sessions/" + GetParam() + ".txt"));
    for (std::string line; std::getline(in, line);) {
        if (line == "camera:" || line == "client:") {
            block = line == "camera:" ? &answers : &expected;
            block->emplace_back();
        } else if (block != nullptr) {
            const bool dots = line.size() >= 3 && line.substr(line.size() - 3) == "...";
            block->back() += dots ? line.substr(0, line.size() - 3) : line + "\r\n";
        } else if (line.rfind("settings:", 0) == 0) {
            std::istringstream words(line.substr(9));
            for (std::string w; words >> w;)
                set[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
        }
    }
    const auto number = [&](const char* key) { return uint32_t(std::stoul(set[key])); };
    RTSPClientSettings settings = CameraSettings();
    settings.blockSize = number("blocksize");
    settings.defaultSessionTimeout = number("default-timeout");
    settings.sendKeepAlive = set["keepalive"] == "1";
    settings.user = set["user"];
    settings.password = set["password"];
    ASSERT_FALSE(expected.empty());
    camera->maxChunk = number("chunk");
    camera->Script(answers);
    camera->sample = [this] { return client->GetLastRequestOk(); };
    // A closing TEARDOWN is Stop's.
    const size_t count = expected.size() - (expected.back().rfind("TEARDOWN", 0) == 0);
    const uint32_t mode = set["mode"] == "udp"   ? kRTSPTransportUdp
                          : set["mode"] == "tcp" ? kRTSPTransportTcp
                                                 : kRTSPTransportInterleaved;
    ASSERT_TRUE(client->Start(settings, &user, mode));
    ASSERT_TRUE(WaitUntil([&] { return camera->Requests().size() >= count; }));
    if (set.count("alive")) {  // as the last request goes out (1) or ends (0)
        EXPECT_TRUE(set["alive"] == "1" ? camera->Requests()[count - 1].sampled
                                        : WaitUntil([&] { return !client->GetLastRequestOk(); }));
        if (set["alive"] == "0") {
            EXPECT_EQ(camera->Requests().size(), count) << "nothing after";
        }
    }
    const auto requests = camera->Requests();
    for (size_t i = 1; i < count; ++i)  // the longest gap, ms
        EXPECT_LT(requests[i].at - requests[i - 1].at, std::chrono::milliseconds(number("within")));
    client->Stop();
    EXPECT_EQ(1, user.stopped);
    EXPECT_FALSE(client->IsConnected());
    ASSERT_GE(camera->Requests().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i], camera->Requests()[i].text.substr(0, expected[i].size())) << i;
    const uint32_t interval = client->GetKeepAliveIntervalMs();
    EXPECT_EQ(set.count("interval") ? number("interval") : interval, interval);
}

std::vector<std::string> TranscriptNames() {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(TALVIK_SOURCE_DIR "/tests/rtsp/sessions"))
        names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(Transcripts, Session, ::testing::ValuesIn(TranscriptNames()),
                         [](const auto& info) { return info.param; });

// The client thread reads media after PLAY: PAUSE and PLAY asked meanwhile go
// out at once, and their answers among the frames disturb nothing.
TEST_F(RTSPClientTest, InterleavedPauseAndPlayGoOutWhileMediaFlows) {
    camera->Script({"D", "I", Answer("O") + RtpFrame(1)});
    ASSERT_TRUE(client->Start(CameraSettings(), &user, kRTSPTransportInterleaved));
    ASSERT_TRUE(user.WaitForNumbersUpTo(1));
    client->RequestPause();
    uint16_t sequence = 2;
    for (; camera->Requests().size() < 4 && sequence < 200; ++sequence) {  // frames flow meanwhile
        camera->Push(RtpFrame(sequence));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(4u, camera->Requests().size());
    EXPECT_EQ(camera->Requests()[3].text,
              "PAUSE rtsp://192.168.1.20:554/h264.sdp/ RTSP/1.0\r\nCSeq: 4\r\nUser-Agent: "
              "Talvik\r\nSession: 12345678\r\nRange: npt=0.000-\r\n\r\n");
    EXPECT_TRUE(client->IsPaused());
    client->RequestPlay();
    camera->Push("RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: 12345678\r\n\r\n" + RtpFrame(sequence));
    ASSERT_TRUE(WaitUntil([&] { return camera->Requests().size() >= 5; }));
    EXPECT_EQ(
        0u, camera->Requests()[4].text.find("PLAY rtsp://192.168.1.20:554/h264.sdp/ RTSP/1.0\r\n"));
    EXPECT_FALSE(client->IsPaused());
    camera->Push("RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 12345678\r\n\r\n" +
                 RtpFrame(uint16_t(sequence + 1)));
    EXPECT_TRUE(user.WaitForNumbersUpTo(uint16_t(sequence + 1)));
    client->Stop();
}

// Noise that throws the reader off its place costs the frames up to the next
// trusted one; the log says so at the first loss and as the count passes 10,
// not at each.
TEST_F(RTSPClientTest, InterleavedLossOfPlaceIsLoggedOnceAndAtPowersOfTen) {
    camera->Script({"D", "I", Answer("O") + RtpFrame(1)});
    ASSERT_TRUE(client->Start(CameraSettings(), &user, kRTSPTransportInterleaved));
    ASSERT_TRUE(user.WaitForNumbersUpTo(1));
    const std::string noise("\x01noise", 6);
    {
        std::lock_guard<std::mutex> lock(camera->mutex_);
        camera->maxChunk = noise.size() + 2 * RtpFrame(0).size();  // one loss per read
    }
    for (uint16_t sequence = 2; sequence <= 13; ++sequence)
        camera->Push(noise + RtpFrame(sequence) + RtpFrame(1000));
    camera->Push(RtpFrame(14));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(user.mutex_);
        return !user.sequences_.empty() && user.sequences_.back() == 14;
    }));
    client->Stop();
    std::vector<std::string> warnings;
    for (const auto& line : logger.Lines())
        if (line.level == kLevelWarning) warnings.push_back(line.text);
    const std::string prefix =
        "talvik::CBaseRTSPClient::ReceiveInterleaved: Device 127.0.0.1:80: lost its place in "
        "the interleaved stream ";
    const std::string suffix = "; frames up to the next trusted one are dropped";
    EXPECT_EQ(warnings,
              (std::vector<std::string>{prefix + "1 time" + suffix, prefix + "10 times" + suffix}));
}

// Over TCP: a refused connection fails Start. The camera answers the first
// connection; it closes the second unanswered, which the connection reads as
// 0 bytes at once; it never answers the third, and a stop still ends the
// session by itself well within the limit.
TEST(RTSPClientNetwork, ConnectionRefusedAnsweredClosedAndSilent) {
    std::atomic<int> connections{0};
    talvik_test::RawTcpServer camera([&](int fd, talvik_test::RawTcpServer& server) {
        std::string head;
        if (!server.ReadRequestHead(fd, &head)) return;
        const int n = ++connections;
        if (n == 1) server.WriteAll(fd, "RTSP/1.0 404 Not Found\r\nCSeq: 1\r\n\r\n");
        if (n != 2) server.HoldOpen(fd);
    });
    talvik_test::RecordingLogger logger;
    RecordingUser user;
    CBaseRTSPClient client(&logger);
    RTSPClientSettings settings;
    settings.host = "127.0.0.1";
    {
        talvik_test::RawTcpServer closed([](int, talvik_test::RawTcpServer&) {});
        settings.serverPort = closed.Port();
    }
    EXPECT_FALSE(client.Start(settings, &user, kRTSPTransportUdp));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(0, user.stopped);
    settings.serverPort = camera.Port();
    settings.receiveTimeoutMs = 600000;  // only the answer ends the wait
    ASSERT_TRUE(client.Start(settings, &user, kRTSPTransportInterleaved));
    EXPECT_TRUE(WaitUntil([&] { return user.stopped == 1; }));
    client.Stop();
    CTCPRTSPConnection connection;
    ASSERT_TRUE(connection.Connect({"127.0.0.1", camera.Port(), 5000, 600000}));
    EXPECT_EQ(connection.Send("OPTIONS * RTSP/1.0\r\n\r\n", 22), 22);
    uint8_t byte;
    EXPECT_EQ(connection.Receive(&byte, 1), 0);
    EXPECT_EQ(logger.Lines(),
              (std::vector<talvik_test::LogLine>{{1, kRefused "DESCRIBE with 404 Not Found"}}));
    settings.receiveTimeoutMs = 30000;
    ASSERT_TRUE(client.Start(settings, &user, kRTSPTransportInterleaved));
    EXPECT_TRUE(client.IsConnected());
    ASSERT_TRUE(WaitUntil([&] { return connections == 3; }));
    const auto before = std::chrono::steady_clock::now();
    client.Stop();
    // The limit is (30000 ms * 2) + 1000 ms, of which a stop that wakes the
    // blocked receive needs a small part.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(7000));
    EXPECT_EQ(2, user.stopped);  // the body ended by itself, it was not killed
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(1u, logger.Lines().size()) << "no \"left to end by itself\" warning";
    // A name whose look-up hangs: Interrupt ends the Connect at once.
    static std::atomic<bool> lookingUp{false}, released{false};
    SetHostResolver([](const std::string&) -> uint32_t {
        lookingUp = true;
        WaitUntil([] { return released.load(); }, 60000);
        return 0;
    });
    std::thread interrupter([&] {
        WaitUntil([] { return lookingUp.load(); });
        connection.Interrupt();
    });
    const auto lookup = std::chrono::steady_clock::now();
    EXPECT_FALSE(connection.Connect({"camera.test", camera.Port(), 600000, 600000}));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - lookup)
                  .count(),
              30000);
    interrupter.join();
    released = true;
    SetHostResolver(nullptr);
}

}  // namespace
}  // namespace talvik

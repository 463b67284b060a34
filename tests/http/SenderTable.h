// The sender's table, data/sender_requests.txt, shared by its tests over curl
// (HttpSenderTest.cpp) and over WinHTTP (win/WinHttpSenderTest.cpp): each
// serves the rows of its cameras and compares the summary below each row.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "http/HUtils.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"
#include "support/Threads.h"

namespace talvik_http_test {

using talvik::Web::CHttpSender;
using Clock = std::chrono::steady_clock;

struct SenderCase {
    std::string name, camera, credentials, timeoutMs, paths, first, again, everyMs, expected;
};

inline void PrintTo(const SenderCase& c, std::ostream* os) {
    *os << c.name;
}

// The rows of the WinHTTP cameras (kinds "win-...") or of all the others.
inline std::vector<SenderCase> SenderCases(bool windows) {
    std::vector<SenderCase> cases;
    bool mine = false;
    for (std::vector<std::string> f : talvik::test::DataRows("http/data/sender_requests.txt")) {
        for (size_t i = 0; mine && f[0].rfind("== ", 0) != 0 && i < f.size(); ++i)
            cases.back().expected += f[i] + (i + 1 < f.size() ? " | " : "\n");
        if (f[0].rfind("== ", 0) != 0) continue;
        f.resize(8, "-");
        for (std::string& field : f) {
            for (size_t at; (at = field.find("\\r\\n")) != std::string::npos;)
                field.replace(at, 4, "\r\n");
            if (field == "-") field.clear();
        }
        mine = (f[1].rfind("win-", 0) == 0) == windows;
        if (mine) cases.push_back({f[0].substr(3), f[1], f[2], f[3], f[4], f[5], f[6], f[7], ""});
    }
    return cases;
}

inline talvik::DEVICE_INFO Device(uint16_t port, uint32_t timeoutMs = 5000,
                                  const std::string& credentials = "admin:secret") {
    talvik::DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = port;
    device.userName = credentials.substr(0, credentials.find(':'));
    device.password = credentials.substr(credentials.find(':') + 1);
    device.timeoutMs = timeoutMs;
    return device;
}

// Asks for target as mode says (see RunSenderCase); the result or whether it
// was sent, and the body.
inline std::string Ask(CHttpSender& sender, const std::string& mode, const std::string& target,
                       std::vector<uint8_t>& body) {
    if (mode.empty()) {
        const talvik::CResultDef r = talvik::HUtils::RequestGetRD(sender, target, body, true);
        return std::to_string(r.level) + " " + std::to_string(r.code) + " " + r.message;
    }
    auto request = talvik::HUtils::MakeGetRequest(target);
    if (mode == "strict:") request.flags = talvik::Web::kFlagNoRedirects;
    if (mode == "digest:") request.authSelector = talvik::Web::kSelectDigest;
    body.clear();
    const bool sent = sender.SendRequest(request);
    const bool view = mode.rfind("held", 0) == 0 || mode == "mixed:";
    const size_t keep = mode.rfind("held", 0) == 0 ? std::stoul(mode.substr(4)) : 0;
    const uint8_t* data = nullptr;
    size_t seen = 0;
    for (size_t n, call = 0; sent && view; ++call) {
        if (mode == "mixed:" && call % 2 == 1) {  // ReadData between the views
            sender.ReadData(body, 50000, false);
            continue;
        }
        if ((n = sender.ReadHeld(data, seen)) == 0) break;
        body.insert(body.end(), data + seen, data + n);  // each byte once, when first seen
        sender.Release(n - std::min(n, keep));
        seen = std::min(n, keep);
    }
    if (sent && (mode == "strict:" || mode == "digest:")) sender.ReadResponse(body);
    const size_t part = mode.rfind("part", 0) == 0 ? std::stoul(mode.substr(4)) : 0;
    while (sent && body.size() < part &&
           sender.ReadData(body, uint32_t(std::min<size_t>(part - body.size(), 50000)), false) >
               0) {
    }
    while (sent && mode == "read:" && sender.ReadData(body, 1000, false) > 0) {
    }
    return "sent " + std::to_string(sent) + " status " + std::to_string(sender.GetStatusCode()) +
           (sender.ReadHeld(data, seen) == 0 && data == nullptr ? "" : " still held");
}

// Runs call on a thread of its own and cancels it through the sender after
// cancelMs, or after 15 s if it still runs then. True when it ended before
// the cancel; it must end within 2 s of it.
template <typename Call>
bool EndsBeforeCancel(CHttpSender& sender, int cancelMs, Call call) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        call();
        done = true;
    });
    const bool ended = talvik_test::WaitUntil([&] { return done.load(); }, cancelMs);
    const auto cancelled = Clock::now();
    while (!done) {
        sender.Cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    EXPECT_LT(Clock::now() - cancelled, std::chrono::seconds(2));
    return ended;
}

// The server's StreamByte sequence by size; other bodies as text (CR and LF
// as \r and \n) up to 64 bytes, longer ones by size and where they leave the
// stream.
inline std::string Body(const std::vector<uint8_t>& body, uint8_t (*streamByte)(uint64_t)) {
    size_t same = 0;
    while (streamByte && same < body.size() && body[same] == streamByte(same))
        ++same;
    std::string text;
    for (size_t i = 0; i < body.size() && i < 65; ++i)
        text += body[i] == '\r' ? "\\r" : body[i] == '\n' ? "\\n" : std::string(1, char(body[i]));
    if ((same < body.size() || body.empty()) && body.size() <= 64) return text;
    return std::to_string(body.size()) + " bytes" +
           (same == body.size() ? "" : " differing at " + std::to_string(same));
}

// Sends the case's requests to the camera on port and sums them up: per
// request "path: result, body" and what perRequest adds; what sent tells of
// the camera's side; the sender's state and log. A path is asked with
// RequestGetRD; "strict:" sends it with certificate errors not ignored,
// "digest:" with Digest from the start, then reads the answer; "read:" reads
// it 1000 bytes at a time; "heldN:" views it with ReadHeld keeping the last
// N bytes of each view, "mixed:" alternates views and ReadData, "partN:"
// reads N bytes and leaves the rest; "@N" cancels
// it after N ms; "~N" waits N ms. The sender goes at once in the end.
inline std::string RunSenderCase(const SenderCase& c, uint16_t port,
                                 const std::function<std::string()>& perRequest,
                                 const std::function<std::string()>& sent,
                                 uint8_t (*streamByte)(uint64_t) = nullptr) {
    const uint16_t tlsPort = CHttpSender::GetTlsDefaultPort();
    if (c.camera.find("-on-tls-port") != std::string::npos) CHttpSender::SetTlsDefaultPort(port);
    talvik_test::RecordingLogger log;
    auto sender =
        std::make_unique<CHttpSender>(Device(port, std::stoul(c.timeoutMs), c.credentials));
    sender->SetLogger(&log);
    const uint8_t* held = reinterpret_cast<const uint8_t*>(&port);
    size_t none = 0;
    EXPECT_TRUE(sender->ReadHeld(held, none) == 0 && held == nullptr);  // no request yet
    std::ostringstream got;
    if (sender->IsSecure()) got << "starts with tls\n";
    std::istringstream paths(c.paths);
    for (std::string path; paths >> path;) {
        if (path[0] == '~')
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(path.substr(1))));
        if (path[0] == '~') continue;
        const size_t at = path.find('@');
        const int cancelMs = at == std::string::npos ? 0 : std::stoi(path.substr(at + 1));
        const std::string mode = path.substr(0, path.find(":/") + 1);
        std::vector<uint8_t> body{'s', 't', 'a', 'l', 'e'};
        std::string result;
        EXPECT_EQ(cancelMs == 0,
                  EndsBeforeCancel(*sender, cancelMs ? cancelMs : 15000,
                                   [&] {
                                       result =
                                           Ask(*sender, mode,
                                               path.substr(mode.size(), at - mode.size()), body);
                                   }))
            << path;
        got << path << ": " << result << ", " << Body(body, streamByte)
            << (perRequest ? perRequest() : "") << (sender->IsSecure() ? " tls" : "")
            << (sender->GetBytesReadDirectly() > 0 ? " direct" : "") << "\n";
    }
    got << (sent ? sent() : "") << "scheme " << sender->GetAuthScheme() << " status "
        << sender->GetStatusCode() << " length " << sender->GetContentLength() << " error "
        << sender->GetLastError() << " " << sender->DescribeLastError()
        << (sender->GetBufferHighWater() > CHttpSender::kReadBufferCap ? " over the cap" : "")
        << "\n";
    for (const talvik_test::LogLine& line : log.Lines())
        got << "log " << line.level << " " << line.text << "\n";
    CHttpSender::SetTlsDefaultPort(tlsPort);
    const auto destroyed = Clock::now();
    sender.reset();  // at once, even with a read still blocked in the transfer
    EXPECT_LT(Clock::now() - destroyed, std::chrono::seconds(2));
    std::string text = got.str();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    for (size_t p; (p = text.find(address)) != std::string::npos;)
        text.replace(p, address.size(), "127.0.0.1:P");
    if (std::getenv("TALVIK_WRITE_EXPECTED")) std::cerr << "== " << c.name << "\n" << text;
    return text;
}

}  // namespace talvik_http_test

// The sender's table, data/sender_requests.txt, shared by its tests over curl
// (HttpSenderTest.cpp) and over WinHTTP (win/WinHttpSenderTest.cpp): each
// serves the rows of its cameras and compares the summary below each row.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/HUtils.h"
#include "http/HttpSender.h"
#include "support/RecordingLogger.h"
#include "support/TestFiles.h"
#include "support/Threads.h"

namespace talvik_http_test {

using talvik::Web::CHttpSender;

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
        if (f[0].rfind("== ", 0) != 0) {
            for (size_t i = 0; mine && i < f.size(); ++i)
                cases.back().expected += f[i] + (i + 1 < f.size() ? " | " : "\n");
            continue;
        }
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
    const auto cancelled = std::chrono::steady_clock::now();
    while (!done) {
        sender.Cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(2));
    return ended;
}

// Short bodies as text (CR LF as \r\n); long ones by size, and whether they
// are the server's StreamByte sequence.
inline std::string Body(const std::vector<uint8_t>& body, uint8_t (*streamByte)(uint64_t)) {
    std::string text(body.begin(), body.end());
    for (size_t at; body.size() <= 64 && (at = text.find("\r\n")) != std::string::npos;)
        text.replace(at, 2, "\\r\\n");
    if (body.size() <= 64) return text;
    size_t same = 0;
    while (streamByte && same < body.size() && body[same] == streamByte(same))
        ++same;
    return std::to_string(body.size()) + " bytes" +
           (same == body.size() ? "" : " differing at " + std::to_string(same));
}

// Sends the case's requests to the camera on port and sums them up: per
// request "path: level code message, body" and what perRequest adds; what
// sent tells of the camera's side; the sender's state and log. A path is
// asked with RequestGetRD; "strict:" sends it with certificate errors not
// ignored, "digest:" with Digest from the start, then reads the answer,
// "read:" reads it 1000 bytes at a time; "@N" cancels it after N ms; "~N"
// waits N ms. The sender goes at once in the end.
inline std::string RunSenderCase(const SenderCase& c, uint16_t port,
                                 const std::function<std::string()>& perRequest,
                                 const std::function<std::string()>& sent,
                                 uint8_t (*streamByte)(uint64_t) = nullptr) {
    const uint16_t tlsPort = CHttpSender::GetTlsDefaultPort();
    if (c.camera.find("-on-tls-port") != std::string::npos) CHttpSender::SetTlsDefaultPort(port);
    talvik::DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = port;
    device.userName = c.credentials.substr(0, c.credentials.find(':'));
    device.password = c.credentials.substr(c.credentials.find(':') + 1);
    device.timeoutMs = uint32_t(std::stoul(c.timeoutMs));
    talvik_test::RecordingLogger log;
    auto sender = std::make_unique<CHttpSender>(device);
    sender->SetLogger(&log);
    std::ostringstream got;
    if (sender->IsSecure()) got << "starts with tls\n";
    std::istringstream paths(c.paths);
    for (std::string path; paths >> path;) {
        if (path[0] == '~') {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(path.substr(1))));
            continue;
        }
        const size_t at = path.find('@');
        const int cancelMs = at == std::string::npos ? 0 : std::stoi(path.substr(at + 1));
        const std::string mode = path.substr(0, path.find(":/") + 1);
        const std::string target = path.substr(mode.size(), at - mode.size());
        std::vector<uint8_t> body{'s', 't', 'a', 'l', 'e'};
        talvik::CResultDef r;
        bool sentOk = false;
        EXPECT_EQ(cancelMs == 0,
                  EndsBeforeCancel(
                      *sender, cancelMs ? cancelMs : 15000,
                      [&] {
                          if (mode.empty())
                              r = talvik::HUtils::RequestGetRD(*sender, target, body, true);
                          if (mode.empty()) return;
                          auto request = talvik::HUtils::MakeGetRequest(target);
                          if (mode == "strict:") request.flags = talvik::Web::kFlagNoRedirects;
                          if (mode == "digest:") request.authSelector = talvik::Web::kSelectDigest;
                          body.clear();
                          if (!(sentOk = sender->SendRequest(request))) return;
                          if (mode != "read:") sender->ReadResponse(body);
                          while (mode == "read:" && sender->ReadData(body, 1000, false) > 0) {
                          }
                      }))
            << path;
        got << path << ": ";
        if (mode.empty()) got << r.level << " " << r.code << " " << r.message;
        if (!mode.empty()) got << "sent " << sentOk << " status " << sender->GetStatusCode();
        got << ", " << Body(body, streamByte) << (perRequest ? perRequest() : "")
            << (sender->IsSecure() ? " tls" : "") << "\n";
    }
    got << (sent ? sent() : "") << "scheme " << sender->GetAuthScheme() << " status "
        << sender->GetStatusCode() << " length " << sender->GetContentLength() << " error "
        << sender->GetLastError() << " " << sender->DescribeLastError() << "\n";
    for (const talvik_test::LogLine& line : log.Lines())
        got << "log " << line.level << " " << line.text << "\n";
    CHttpSender::SetTlsDefaultPort(tlsPort);
    const auto destroyed = std::chrono::steady_clock::now();
    sender.reset();  // at once, even with a read still blocked in the transfer
    EXPECT_LT(std::chrono::steady_clock::now() - destroyed, std::chrono::seconds(2));
    std::string text = got.str();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    for (size_t p; (p = text.find(address)) != std::string::npos;)
        text.replace(p, address.size(), "127.0.0.1:P");
    if (std::getenv("TALVIK_WRITE_EXPECTED")) std::cerr << "== " << c.name << "\n" << text;
    return text;
}

}  // namespace talvik_http_test

// Loopback camera, settings directory and driver rig shared by the HTTP and
// RTSP channel tests.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/FakeHost.h"
#include "support/TestHttpServer.h"

namespace talvik_channels_test {

using Clock = std::chrono::steady_clock;
using talvik_test::HttpExchange;
using talvik_test::HttpReply;

// A camera that answers through `respond` (by default every request with
// `status`) and notes which path came when.
class Camera {
public:
    using Responder = std::function<HttpReply(const HttpExchange&)>;

    explicit Camera(unsigned status = 404)
        : Camera([status](const HttpExchange&) {
              HttpReply reply;
              reply.status = status;
              reply.body = status == 200 ? "ok\r\n" : "no\r\n";
              return reply;
          }) {}
    explicit Camera(Responder respond)
        : server_({}, [this, respond](const HttpExchange& e) {
              {
                  std::lock_guard<std::mutex> guard(mutex_);
                  seen_.push_back({e.url, Clock::now()});
              }
              return respond(e);
          }) {}

    uint16_t Port() const { return server_.Port(); }
    std::vector<std::string> Paths() const {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<std::string> out;
        for (const auto& s : seen_)
            out.push_back(s.first);
        return out;
    }
    // Times of the requests whose path starts with `prefix`.
    std::vector<Clock::time_point> TimesOf(const std::string& prefix) const {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Clock::time_point> out;
        for (const auto& s : seen_)
            if (s.first.compare(0, prefix.size(), prefix) == 0) out.push_back(s.second);
        return out;
    }
    bool WaitFor(const std::string& prefix, size_t count, int timeoutMs) const {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            if (TimesOf(prefix).size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, Clock::time_point>> seen_;
    talvik_test::TestHttpServer server_;
};

// A directory holding the driver's settings file (none for an empty text),
// removed afterwards.
class SettingsDir {
public:
    explicit SettingsDir(const std::string& xml) {
        char pattern[] = "/tmp/talvik-channels-XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? std::string(pattern) + "/" : "";
        if (!xml.empty() && !dir_.empty()) {
            FILE* f = std::fopen((dir_ + "talvik_test.xml").c_str(), "w");
            std::fputs(xml.c_str(), f);
            std::fclose(f);
        }
    }
    ~SettingsDir() {
        std::remove((dir_ + "talvik_test.xml").c_str());
        rmdir(dir_.c_str());
    }
    const std::string& Path() const { return dir_; }

private:
    std::string dir_;
};

// Settings text with the given IndoorLightFrequency; none for null.
inline std::string LightXml(const char* frequency) {
    if (frequency == nullptr) return std::string();
    return std::string("<Configuration><Default><IndoorLightFrequency>") + frequency +
           "</IndoorLightFrequency></Default></Configuration>";
}

// A driver for a camera on 127.0.0.1:port and the host its frames go to.
struct Rig {
    explicit Rig(uint16_t port) {
        driver.device.address = "127.0.0.1";
        driver.device.port = port;
        driver.device.timeoutMs = 2000;
        driver.device.dataTimeoutMs = 4000;
        driver.allocator = &host;
    }
    talvik::STREAM_PARAMS Params(uint32_t intervalMs, uint32_t codec = 1, uint32_t kind = 0) const {
        talvik::STREAM_PARAMS p;
        p.frameIntervalMs = intervalMs;
        p.width = 640;
        p.height = 360;
        p.quality = 50;
        p.codec = codec;
        p.kind = kind;
        return p;
    }
    talvik_test::FakeDriver driver;
    talvik_test::FakeHost host;
};

}  // namespace talvik_channels_test

// Settings directory and driver rig shared by the HTTP and RTSP channel tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/FakeCamera.h"
#include "support/FakeHost.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

namespace talvik_channels_test {

using Clock = std::chrono::steady_clock;
using talvik_test::FakeCamera;

// The rows of data/<name>, fields split at '|', "\r\n" written out as text;
// '#' starts a comment line.
inline std::vector<std::vector<std::string>> Rows(const std::string& name) {
    auto rows = talvik::test::DataRows("channels/data/" + name, "|");
    for (auto& row : rows)
        for (std::string& field : row)
            for (size_t at; (at = field.find("\\r\\n")) != std::string::npos;)
                field.replace(at, 4, "\r\n");
    return rows;
}
inline uint32_t U(const std::string& field) {
    return uint32_t(std::stoul(field));
}

// A camera on a loopback port that answers every path not in its table with
// `status`.
inline uint16_t Serve(FakeCamera& camera, unsigned status) {
    camera.Otherwise(status, status == 200 ? "ok\r\n" : "no\r\n");
    return camera.Serve();
}

// A directory holding the driver's settings file (none for an empty text).
class SettingsDir {
public:
    explicit SettingsDir(const std::string& xml) {
        if (xml.empty()) return;
        FILE* f = std::fopen((Path() + "talvik_test.xml").c_str(), "w");
        std::fputs(xml.c_str(), f);
        std::fclose(f);
    }
    std::string Path() const { return dir_.Path() + "/"; }

private:
    talvik::test::TempDir dir_{"talvik-channels"};
};

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

// Starts the camera simulator (camsim) as a child process on free loopback
// ports for a test, and talks to its HTTP side with a small blocking client
// of its own (no module code, so that faults of the module cannot hide).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik {
namespace test {

// Splits text into lines without their line ends, dropping empty ones.
std::vector<std::string> SplitLines(const std::string& text);

class CamSim {
public:
    // Runs camsim with `args` (--bind 127.0.0.1 --http-port 0 --rtsp-port 0 are
    // added unless given) and waits up to 20 s for its ready line. The binary
    // is $TALVIK_CAMSIM, else TALVIK_BINARY_DIR/tools/camsim/camsim.
    static std::unique_ptr<CamSim> Start(std::vector<std::string> args, std::string* error);
    static std::string BinaryPath();

    // Stops it: SIGTERM, then SIGKILL after 10 s.
    ~CamSim();
    CamSim(const CamSim&) = delete;
    CamSim& operator=(const CamSim&) = delete;

    uint16_t HttpPort() const { return httpPort_; }
    uint16_t RtspPort() const { return rtspPort_; }

    // HTTP/1.0 GET of `path` (with query) on the simulator; the body, or empty
    // with *status 0 when no answer came within 10 s.
    std::string Get(const std::string& path, long* status = nullptr) const;

    // The request log ("METHOD path?query scheme" lines).
    std::vector<std::string> Requests() const { return SplitLines(Get("/sim/requests")); }

    // Value of `key` (such as "frames") in the /sim/stats line of stream `id`;
    // -1 when there is no such stream.
    long long StreamStat(unsigned id, const std::string& key) const {
        return Stat("stream id=" + std::to_string(id) + " ", key);
    }
    // Value of a whole-line counter of /sim/stats, such as "rtsp_sessions".
    long long Counter(const std::string& key) const { return Stat(key + "=", key); }

    // Sends `signal` (0: none, to wait for its own end) and waits up to
    // `timeoutMs` for the exit; the exit code, 128+signal when killed, -1 on
    // time-out.
    int Stop(int signal = 15, int timeoutMs = 10000);

private:
    CamSim() = default;
    long long Stat(const std::string& prefix, const std::string& key) const;

    pid_t pid_ = -1;
    uint16_t httpPort_ = 0;
    uint16_t rtspPort_ = 0;
    int exitCode_ = -1;
};

// Runs a command line through /bin/sh with a time limit and returns its
// standard output; *exitCode gets the exit status (-1 on time-out).
std::string RunCommand(const std::string& command, int timeoutMs, int* exitCode);

}  // namespace test
}  // namespace talvik

// State shared by the HTTP and RTSP sides of the simulator: the camera's
// control values, the request log, the fault settings and the stream counters.
// Every member is safe to use from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Options.h"

namespace camsim {

using Clock = std::chrono::steady_clock;

// Counters of one video stream (an RTSP media or an MJPEG connection).
struct StreamStats {
    unsigned id = 0;
    std::string kind;  // "rtsp" or "mjpeg"
    std::string path;
    unsigned sensor = 1;
    unsigned width = 0, height = 0, fps = 0;
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> rtpPackets{0};
    std::atomic<uint64_t> rtpDropped{0};
    std::atomic<uint64_t> rtcpReceived{0};
    std::atomic<uint64_t> teardowns{0};
    std::atomic<bool> active{true};
    // RTSP: counted only while a client plays the stream (a live pipeline
    // runs from DESCRIBE on, but nothing goes out before PLAY).
    std::atomic<bool> playing{false};
    unsigned dropAccumulator = 0;  // used by the one thread that sends the stream
};

// A fault rule: requests whose path starts with `prefix` (and, when `method`
// is set, RTSP requests of that method only) are delayed and/or answered with
// `status` (0: answered normally) or with a body trickled one byte every
// `trickleMs` (a single picture: the picture itself), `remaining` times (-1:
// always). A single picture may announce `announcedLength` bytes (-1: its
// own size) and send all of its own.
struct FaultRule {
    std::string prefix;
    std::string method;
    int status = 0;
    unsigned delayMs = 0;
    unsigned trickleMs = 0;
    long long announcedLength = -1;
    std::string location;
    int remaining = -1;
};

class SimState {
public:
    explicit SimState(const Options& options);

    const Options& options() const { return options_; }

    // Control values: sensor 0 is the camera, 1 to 4 a sensor (falls back to
    // the camera's value). Returns false when the camera has no such item.
    bool GetValue(unsigned sensor, const std::string& name, std::string* value);
    void SetValue(unsigned sensor, const std::string& name, const std::string& value);
    void SetRegister(unsigned sensor, const std::string& page, const std::string& reg,
                     const std::string& val);
    std::string RegistersText();
    void SetAuxIn(bool active);
    std::string AuxOutText();

    // Request log, one "METHOD path?query scheme" line per request.
    void LogRequest(const std::string& method, const std::string& pathAndQuery,
                    const std::string& scheme);
    std::string RequestsText();
    void ClearRequests();

    // Faults.
    void SilenceFor(double seconds);
    bool Silenced();
    void SetRtpDropPercent(unsigned percent) { rtpDropPercent_ = percent; }
    unsigned RtpDropPercent() const { return rtpDropPercent_; }
    // Whether DESCRIBE answers carry a Content-Base.
    void SetSendContentBase(bool send) { sendContentBase_ = send; }
    bool SendContentBase() const { return sendContentBase_; }
    void AddRule(const FaultRule& rule);
    void ClearRules();
    // The first rule matching `path` (and `method`, for rules that name one),
    // counting its use unless countUse is false.
    bool MatchRule(const std::string& path, FaultRule* rule, bool countUse = true,
                   const std::string& method = std::string());

    // Sessions under --refresh-on: when each was last refreshed.
    void RefreshSession(const std::string& id);
    // True (and forgotten) when the session was not refreshed within `timeout`.
    bool SessionLapsed(const std::string& id, Clock::duration timeout);

    // Streams.
    std::shared_ptr<StreamStats> AddStream(const std::string& kind, const std::string& path,
                                           unsigned sensor, unsigned width, unsigned height,
                                           unsigned fps);
    std::string StreamsText();
    std::atomic<uint64_t> teardowns{0};
    uint64_t NextImageNumber(unsigned sensor);

    // Waiting for video: every wait ends early when the simulator stops or
    // its HTTP side restarts (epoch changes). Returns false in that case.
    bool SleepUntil(Clock::time_point when, uint64_t epoch);
    // Waits while video is silenced; false when stopped or restarted.
    bool WaitWhileSilenced(uint64_t epoch);
    uint64_t Epoch();
    void NewEpoch();
    void Stop();
    bool Stopping();

private:
    const Options options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    uint64_t epoch_ = 0;
    std::map<std::string, std::string> values_[5];
    std::vector<std::string> registers_;
    std::vector<std::string> auxOut_;
    bool auxIn_ = false;
    std::deque<std::string> requests_;
    Clock::time_point silenceEnd_;
    std::atomic<unsigned> rtpDropPercent_{0};
    std::atomic<bool> sendContentBase_{true};
    std::vector<FaultRule> rules_;
    std::map<std::string, Clock::time_point> sessionRefreshed_;
    std::deque<std::shared_ptr<StreamStats>> streams_;
    unsigned nextStreamId_ = 1;
    uint64_t imageNumbers_[5] = {0, 0, 0, 0, 0};
};

}  // namespace camsim

// Helpers of the camsim end-to-end tests: JPEG inspection, an MJPEG reader
// and the ffprobe/curl command lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace talvik {
namespace test {

// Width and height from a JPEG's baseline start-of-frame; false without one.
bool JpegSize(const std::string& jpeg, unsigned* width, unsigned* height);
// Text of the JPEG's first comment segment, empty without one.
std::string JpegComment(const std::string& jpeg);

// Opens an MJPEG stream on 127.0.0.1:port and collects the comments of the
// first `frames` pictures (or fewer when the stream ends or `timeoutMs` passes).
std::vector<std::string> ReadMjpegComments(uint16_t port, const std::string& path, size_t frames,
                                           int timeoutMs);

// "camsim sensor=S frame=N" for each N in [first, first + count).
std::vector<std::string> ExpectedComments(unsigned sensor, uint64_t first, size_t count);

// A decoded picture as ffprobe reports it.
struct ProbedFrame {
    double pts = -1;  // seconds, -1 when unknown
    unsigned width = 0, height = 0;
};
// Runs ffprobe on `url` (with `extra` options) and decodes up to `frames`
// frames; *exitCode as RunCommand gives it.
std::vector<ProbedFrame> ProbeFrames(const std::string& url, const std::string& extra,
                                     unsigned frames, int* exitCode, std::string* output = nullptr);

// Checks `condition` every 10 ms for up to `limitMs`; its last answer.
bool WaitUntil(const std::function<bool()>& condition, int limitMs = 30000);

// Text quoted for /bin/sh.
std::string ShellQuote(const std::string& text);

}  // namespace test
}  // namespace talvik

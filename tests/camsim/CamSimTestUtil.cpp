#include "CamSimTestUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "support/CamSim.h"

namespace talvik {
namespace test {
namespace {

// Offset and length of the first segment with marker `marker` (after FF D8).
bool FindSegment(const std::string& jpeg, uint8_t marker, size_t* offset, size_t* length) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        if (static_cast<uint8_t>(jpeg[pos]) != 0xFF) return false;
        uint8_t m = static_cast<uint8_t>(jpeg[pos + 1]);
        size_t len =
            (static_cast<uint8_t>(jpeg[pos + 2]) << 8) | static_cast<uint8_t>(jpeg[pos + 3]);
        if (len < 2 || pos + 2 + len > jpeg.size()) return false;
        if (m == marker) {
            *offset = pos + 4;
            *length = len - 2;
            return true;
        }
        if (m == 0xDA) return false;  // scan data follows
        pos += 2 + len;
    }
    return false;
}

}  // namespace

bool JpegSize(const std::string& jpeg, unsigned* width, unsigned* height) {
    size_t offset = 0, length = 0;
    if (!FindSegment(jpeg, 0xC0, &offset, &length) || length < 5) return false;
    *height =
        (static_cast<uint8_t>(jpeg[offset + 1]) << 8) | static_cast<uint8_t>(jpeg[offset + 2]);
    *width = (static_cast<uint8_t>(jpeg[offset + 3]) << 8) | static_cast<uint8_t>(jpeg[offset + 4]);
    return true;
}

std::string JpegComment(const std::string& jpeg) {
    size_t offset = 0, length = 0;
    if (!FindSegment(jpeg, 0xFE, &offset, &length)) return "";
    return jpeg.substr(offset, length);
}

std::vector<std::string> ReadMjpegComments(uint16_t port, const std::string& path, size_t frames,
                                           int timeoutMs) {
    std::vector<std::string> comments;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return comments;
    }
    std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string data;
    size_t scan = 0;
    char buf[65536];
    while (comments.size() < frames) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) break;
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
        // Pictures are cut at their start and end markers.
        for (;;) {
            size_t soi = data.find("\xFF\xD8", scan);
            if (soi == std::string::npos) break;
            size_t eoi = data.find("\xFF\xD9", soi);
            if (eoi == std::string::npos) break;
            comments.push_back(JpegComment(data.substr(soi, eoi + 2 - soi)));
            scan = eoi + 2;
        }
    }
    close(fd);
    if (comments.size() > frames) comments.resize(frames);
    return comments;
}

std::vector<std::string> ExpectedComments(unsigned sensor, uint64_t first, size_t count) {
    std::vector<std::string> comments;
    for (size_t i = 0; i < count; ++i)
        comments.push_back("camsim sensor=" + std::to_string(sensor) +
                           " frame=" + std::to_string(first + i));
    return comments;
}

std::vector<ProbedFrame> ProbeFrames(const std::string& url, const std::string& extra,
                                     unsigned frames, int* exitCode, std::string* output) {
    std::string command = "ffprobe -v error " + extra +
                          " -select_streams v:0 -show_entries frame=pts_time,width,height"
                          " -read_intervals %+#" +
                          std::to_string(frames) + " -of csv=p=0 " + ShellQuote(url) + " 2>&1";
    std::string out = RunCommand(command, 60000, exitCode);
    if (output) *output = out;
    std::vector<ProbedFrame> result;
    for (const auto& line : SplitLines(out)) {
        std::vector<std::string> fields;
        std::stringstream in(line);
        std::string field;
        while (std::getline(in, field, ','))
            fields.push_back(field);
        if (fields.size() < 3) continue;
        char* end = nullptr;
        ProbedFrame f;
        f.width = static_cast<unsigned>(strtoul(fields[1].c_str(), &end, 10));
        if (*end != '\0') continue;
        f.height = static_cast<unsigned>(strtoul(fields[2].c_str(), &end, 10));
        if (*end != '\0') continue;
        f.pts = fields[0] == "N/A" ? -1 : strtod(fields[0].c_str(), nullptr);
        result.push_back(f);
    }
    return result;
}

bool WaitUntil(const std::function<bool()>& condition, int limitMs) {
    for (int waited = 0; waited < limitMs; waited += 10) {
        if (condition()) return true;
        usleep(10000);
    }
    return condition();
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

}  // namespace test
}  // namespace talvik

#include "support/CamSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace talvik {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

const size_t kMaxReply = 64u << 20;

long MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<long>(left.count()) : 0;
}

// Reads what `fd` delivers until EOF, `stopAtNewline` sees a line end, or the deadline.
std::string ReadUntil(int fd, Clock::time_point deadline, bool stopAtNewline) {
    std::string data;
    char buf[16384];
    while (data.size() < kMaxReply) {
        if (stopAtNewline && data.find('\n') != std::string::npos) break;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(MsLeft(deadline)));
        if (ready <= 0) break;
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

unsigned JsonNumber(const std::string& json, const std::string& key) {
    size_t pos = json.find("\"" + key + "\":");
    if (pos == std::string::npos) return 0;
    return static_cast<unsigned>(strtoul(json.c_str() + pos + key.size() + 3, nullptr, 10));
}

int WaitPid(pid_t pid, int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (r < 0) return -1;
        if (Clock::now() >= deadline) return -2;
        usleep(10000);
    }
}

bool HasFlag(const std::vector<std::string>& args, const std::string& flag) {
    for (const auto& a : args) {
        if (a == flag) return true;
    }
    return false;
}

}  // namespace

std::string CamSim::BinaryPath() {
    const char* env = getenv("TALVIK_CAMSIM");
    if (env && *env) return env;
    return std::string(TALVIK_BINARY_DIR) + "/tools/camsim/camsim";
}

std::unique_ptr<CamSim> CamSim::Start(std::vector<std::string> args, std::string* error) {
    std::vector<std::string> full{BinaryPath()};
    if (!HasFlag(args, "--bind")) full.insert(full.end(), {"--bind", "127.0.0.1"});
    if (!HasFlag(args, "--http-port")) full.insert(full.end(), {"--http-port", "0"});
    if (!HasFlag(args, "--rtsp-port")) full.insert(full.end(), {"--rtsp-port", "0"});
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return nullptr;
    }
    Clock::time_point started = Clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        *error = "fork failed";
        return nullptr;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::unique_ptr<CamSim> sim(new CamSim);
    sim->pid_ = pid;
    std::string line = ReadUntil(fds[0], started + std::chrono::seconds(20), true);
    close(fds[0]);
    sim->httpPort_ = static_cast<uint16_t>(JsonNumber(line, "http_port"));
    sim->rtspPort_ = static_cast<uint16_t>(JsonNumber(line, "rtsp_port"));
    if (sim->httpPort_ == 0 || sim->rtspPort_ == 0) {
        int code = sim->Stop(SIGKILL, 5000);
        *error = "camsim (" + full[0] + ") gave no ready line, exit " + std::to_string(code) +
                 ", output '" + line + "'";
        return nullptr;
    }
    return sim;
}

CamSim::~CamSim() {
    if (pid_ > 0 && exitCode_ < 0 && Stop(SIGTERM, 10000) < 0) Stop(SIGKILL, 10000);
}

std::string CamSim::RtspUrl(const std::string& pathAndQuery, const std::string& credentials) const {
    return "rtsp://" + (credentials.empty() ? "" : credentials + "@") +
           "127.0.0.1:" + std::to_string(rtspPort_) + pathAndQuery;
}

std::string CamSim::Get(const std::string& path, long* status, int timeoutMs) const {
    if (status) *status = 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return "";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(httpPort_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 ||
        errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof(err);
        if (poll(&p, 1, static_cast<int>(MsLeft(deadline))) == 1 &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
            std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size()))
                reply = ReadUntil(fd, deadline, false);
        }
    }
    close(fd);
    size_t head = reply.find("\r\n\r\n");
    if (reply.compare(0, 5, "HTTP/") != 0 || head == std::string::npos) return "";
    if (status) *status = strtol(reply.c_str() + reply.find(' ') + 1, nullptr, 10);
    return reply.substr(head + 4);
}

std::vector<std::string> CamSim::Requests() const {
    return SplitLines(Get("/sim/requests"));
}

long long CamSim::StreamStat(unsigned id, const std::string& key) const {
    std::string needle = "stream id=" + std::to_string(id) + " ";
    for (const auto& line : SplitLines(Get("/sim/stats"))) {
        if (line.compare(0, needle.size(), needle) != 0) continue;
        size_t pos = line.find(" " + key + "=");
        if (pos == std::string::npos) return -1;
        return strtoll(line.c_str() + pos + key.size() + 2, nullptr, 10);
    }
    return -1;
}

long long CamSim::Counter(const std::string& key) const {
    for (const auto& line : SplitLines(Get("/sim/stats"))) {
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return strtoll(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return -1;
}

int CamSim::Stop(int signal, int timeoutMs) {
    if (exitCode_ >= 0) return exitCode_;
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    return Wait(timeoutMs);
}

int CamSim::Wait(int timeoutMs) {
    if (exitCode_ >= 0) return exitCode_;
    int code = WaitPid(pid_, timeoutMs);
    if (code == -2) return -1;
    exitCode_ = code < 0 ? 255 : code;
    return exitCode_;
}

std::string RunCommand(const std::string& command, int timeoutMs, int* exitCode) {
    *exitCode = -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "";
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return "";
    }
    if (pid == 0) {
        setpgid(0, 0);
        dup2(fds[1], 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string out = ReadUntil(fds[0], deadline, false);
    close(fds[0]);
    int code = WaitPid(pid, static_cast<int>(std::max(MsLeft(deadline), 1000L)));
    if (code == -2) {
        kill(-pid, SIGKILL);
        WaitPid(pid, 10000);
        return out;
    }
    *exitCode = code;
    return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

}  // namespace test
}  // namespace talvik

#include "support/CamSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>

namespace talvik {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads what `fd` delivers (at most 64 MiB) until EOF, the deadline, or a
// line end when `stopAtNewline`.
std::string ReadUntil(int fd, Clock::time_point deadline, bool stopAtNewline) {
    std::string data;
    char buf[16384];
    while (data.size() < (64u << 20) && !(stopAtNewline && data.find('\n') != std::string::npos)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) break;
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        data.append(buf, size_t(n));
    }
    return data;
}

// Exit code, 128+signal when killed, -1 on an error, -2 on time-out.
int WaitPid(pid_t pid, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -1;
        if (Clock::now() >= deadline) return -2;
        usleep(10000);
    }
}

// Runs argv with its standard output on a pipe (in a process group of its
// own when `ownGroup`, to be killed with its children); the pipe's reading
// end, or -1.
int Spawn(std::vector<std::string> args, pid_t* pid, bool ownGroup) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    *pid = fork();
    if (*pid == 0) {
        if (ownGroup) setpgid(0, 0);
        dup2(fds[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (*pid > 0) return fds[0];
    close(fds[0]);
    return -1;
}

}  // namespace

std::string CamSim::BinaryPath() {
    const char* env = getenv("TALVIK_CAMSIM");
    return env && *env ? env : std::string(TALVIK_BINARY_DIR) + "/tools/camsim/camsim";
}

std::unique_ptr<CamSim> CamSim::Start(std::vector<std::string> args, std::string* error) {
    std::vector<std::string> full{BinaryPath()};
    for (const char* flag : {"--bind", "--http-port", "--rtsp-port"}) {
        if (std::find(args.begin(), args.end(), flag) == args.end())
            full.insert(full.end(), {flag, flag[2] == 'b' ? "127.0.0.1" : "0"});
    }
    full.insert(full.end(), args.begin(), args.end());
    std::unique_ptr<CamSim> sim(new CamSim);
    const int fd = Spawn(full, &sim->pid_, false);
    if (fd < 0) {
        *error = "cannot start " + full[0];
        return nullptr;
    }
    const std::string line = ReadUntil(fd, Clock::now() + std::chrono::seconds(20), true);
    close(fd);
    // {"http_port":N,"rtsp_port":N,...}
    const auto number = [&](const std::string& key) {
        const size_t at = line.find("\"" + key + "\":");
        return uint16_t(at == std::string::npos ? 0 : atoi(line.c_str() + at + key.size() + 3));
    };
    sim->httpPort_ = number("http_port");
    sim->rtspPort_ = number("rtsp_port");
    if (sim->httpPort_ == 0 || sim->rtspPort_ == 0) {
        *error = "camsim (" + full[0] + ") gave no ready line, exit " +
                 std::to_string(sim->Stop(SIGKILL, 5000)) + ", output '" + line + "'";
        return nullptr;
    }
    return sim;
}

CamSim::~CamSim() {
    if (pid_ > 0 && exitCode_ < 0 && Stop(SIGTERM, 10000) < 0) Stop(SIGKILL, 10000);
}

std::string CamSim::Get(const std::string& path, long* status) const {
    if (status) *status = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{10, 0};  // bounds the connect too
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(httpPort_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string reply;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()))
        reply = ReadUntil(fd, deadline, false);
    if (fd >= 0) close(fd);
    const size_t head = reply.find("\r\n\r\n");
    if (reply.compare(0, 5, "HTTP/") != 0 || head == std::string::npos) return "";
    if (status) *status = strtol(reply.c_str() + reply.find(' ') + 1, nullptr, 10);
    return reply.substr(head + 4);
}

// `key`'s value on the first /sim/stats line that starts with `prefix`.
long long CamSim::Stat(const std::string& prefix, const std::string& key) const {
    for (const auto& line : SplitLines(Get("/sim/stats"))) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const size_t pos = (" " + line).find(" " + key + "=");  // the key's offset in line
        return pos == std::string::npos ? -1 : atoll(line.c_str() + pos + key.size() + 1);
    }
    return -1;
}

int CamSim::Stop(int signal, int timeoutMs) {
    if (exitCode_ >= 0 || pid_ <= 0) return exitCode_;
    if (signal != 0) kill(pid_, signal);
    const int code = WaitPid(pid_, timeoutMs);
    if (code != -2) exitCode_ = code < 0 ? 255 : code;
    return code == -2 ? -1 : exitCode_;
}

std::string RunCommand(const std::string& command, int timeoutMs, int* exitCode) {
    *exitCode = -1;
    pid_t pid = -1;
    const int fd = Spawn({"/bin/sh", "-c", command}, &pid, true);
    if (fd < 0) return "";
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string out = ReadUntil(fd, deadline, false);
    close(fd);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int code = WaitPid(pid, int(std::max<long long>(left.count(), 1000)));
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
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

}  // namespace test
}  // namespace talvik

#include "ScriptedConnection.h"

#include <algorithm>
#include <cstring>

namespace talvik_test {

namespace {

std::string ReplaceCSeq(std::string reply, const std::string& request) {
    std::string cseq;
    const size_t pos = request.find("CSeq: ");
    if (pos != std::string::npos) {
        cseq = request.substr(pos + 6, request.find("\r\n", pos) - pos - 6);
    }
    for (size_t at = reply.find("{cseq}"); at != std::string::npos; at = reply.find("{cseq}")) {
        reply.replace(at, 6, cseq);
    }
    return reply;
}

}  // namespace

void ScriptedConnection::Script(std::vector<std::string> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.assign(replies.begin(), replies.end());
}

void ScriptedConnection::Push(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    inbound_ += bytes;
    changed_.notify_all();
}

void ScriptedConnection::ClosePeer() {
    std::lock_guard<std::mutex> lock(mutex_);
    peerClosed_ = true;
    changed_.notify_all();
}

bool ScriptedConnection::WaitForRequests(size_t count, uint32_t limitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(limitMs),
                             [&] { return requests_.size() >= count; });
}

std::vector<std::string> ScriptedConnection::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool ScriptedConnection::Connect(const talvik::RTSPConnectionParams& p) {
    std::lock_guard<std::mutex> lock(mutex_);
    params = p;
    interrupted_ = false;
    peerClosed_ = false;
    open_ = connectResult;
    return connectResult;
}

bool ScriptedConnection::IsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

int ScriptedConnection::Send(const char* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || peerClosed_) return -1;
    const std::string request(data, size);
    requests_.push_back(request);
    if (!replies_.empty()) {
        inbound_ += ReplaceCSeq(replies_.front(), request);
        replies_.pop_front();
    }
    changed_.notify_all();
    return static_cast<int>(size);
}

int ScriptedConnection::Receive(uint8_t* buffer, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint32_t limit = interrupted_ ? 100 : params.receiveTimeoutMs;
    const bool interruptedBefore = interrupted_;
    changed_.wait_for(lock, std::chrono::milliseconds(limit), [&] {
        return !inbound_.empty() || peerClosed_ || (interrupted_ && !interruptedBefore);
    });
    if (!inbound_.empty()) {
        const size_t n = std::min({size, maxChunk, inbound_.size()});
        std::memcpy(buffer, inbound_.data(), n);
        inbound_.erase(0, n);
        return static_cast<int>(n);
    }
    return peerClosed_ ? 0 : -1;
}

void ScriptedConnection::Interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
}

void ScriptedConnection::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
}

}  // namespace talvik_test

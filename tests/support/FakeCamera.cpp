#include "support/FakeCamera.h"

#include <atomic>

#include "support/Threads.h"

namespace talvik_test {

namespace {

class FakeRequester : public talvik::ICameraRequest {
public:
    explicit FakeRequester(FakeCamera& camera) : camera_(camera) {}
    talvik::CameraReply Get(const std::string& path, bool readBody) override {
        if (aborted_) return talvik::CameraReply();
        talvik::CameraReply reply = camera_.Answer(path, &cancels_);
        if (!readBody || !reply.Ok()) reply.body.clear();
        return reply;
    }
    void Cancel() override {
        aborted_ = true;
        camera_.Cancel(cancels_);
    }
    void Rearm() override { aborted_ = false; }

private:
    FakeCamera& camera_;
    int cancels_ = 0;
    std::atomic<bool> aborted_{false};
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

void FakeCamera::Reply(const std::string& path, const std::string& body, unsigned status) {
    std::lock_guard<std::mutex> guard(mutex_);
    replies_[path] = talvik::CameraReply{status, body};
}

void FakeCamera::Otherwise(unsigned status, const std::string& body) {
    std::lock_guard<std::mutex> guard(mutex_);
    otherwise_ = talvik::CameraReply{status, body};
}

void FakeCamera::HangAfter(const std::string& prefix, int after) {
    std::lock_guard<std::mutex> guard(mutex_);
    hangPrefix_ = prefix;
    hangAfter_ = after;
}

int FakeCamera::Hanging() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return hanging_;
}

std::vector<std::string> FakeCamera::Requests(const std::string& prefix) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> out;
    for (const auto& s : seen_)
        if (StartsWith(s.first, prefix)) out.push_back(s.first);
    return out;
}

std::vector<FakeCamera::Clock::time_point> FakeCamera::TimesOf(const std::string& prefix) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Clock::time_point> out;
    for (const auto& s : seen_)
        if (StartsWith(s.first, prefix)) out.push_back(s.second);
    return out;
}

bool FakeCamera::WaitFor(const std::string& prefix, size_t count, int limitMs) const {
    return WaitUntil([&] { return Requests(prefix).size() >= count; }, limitMs);
}

std::unique_ptr<talvik::ICameraRequest> FakeCamera::Requester() {
    return std::make_unique<FakeRequester>(*this);
}

uint16_t FakeCamera::Serve() {
    if (!server_) {
        server_ = std::make_unique<TestHttpServer>(
            TestHttpServer::Options{}, [this](const HttpExchange& e) {
                const talvik::CameraReply answer = Answer(e.url, nullptr);
                HttpReply reply;
                reply.status = answer.status;
                reply.body = answer.body;
                return reply;
            });
    }
    return server_->Port();
}

talvik::CameraReply FakeCamera::Answer(const std::string& path, const int* cancels) {
    if (hook_) hook_(path);
    std::unique_lock<std::mutex> lock(mutex_);
    seen_.push_back({path, Clock::now()});
    int matching = 0;
    for (const auto& s : seen_)
        matching += StartsWith(s.first, hangPrefix_) ? 1 : 0;
    if (cancels != nullptr && hangAfter_ >= 0 && StartsWith(path, hangPrefix_) &&
        matching > hangAfter_) {
        // Only a cancel made after the request began ends it, as with the sender.
        const int start = *cancels;
        ++hanging_;
        wake_.wait(lock, [&] { return *cancels != start; });
        --hanging_;
        return talvik::CameraReply();
    }
    const auto found = replies_.find(path);
    return found != replies_.end() ? found->second : otherwise_;
}

void FakeCamera::Cancel(int& cancels) {
    // Under the lock, so that a hang between its check and its sleep is not missed.
    std::lock_guard<std::mutex> guard(mutex_);
    ++cancels;
    wake_.notify_all();
}

}  // namespace talvik_test

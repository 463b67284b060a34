#include "SimState.h"

#include <sstream>

namespace camsim {
namespace {

// Bounds that keep a long run's memory flat.
const size_t kMaxRequests = 10000;
const size_t kMaxStreams = 256;
const size_t kMaxListed = 1000;

}  // namespace

SimState::SimState(const Options& options) : options_(options) {
    auto& v = values_[0];
    v["model"] = options.model;
    v["channelenable"] = options.sensors == 4 ? "15" : "1";
    v["sensorwidth"] = std::to_string(options.sensorWidth);
    v["sensorheight"] = std::to_string(options.sensorHeight);
    v["fwversion"] = options.firmware;
    v["cropping"] = "off";
    v["freq"] = "60";
    if (options.io != IoMode::None) v["auxout"] = options.io == IoMode::Numeric ? "0" : "off";
    silenceEnd_ = Clock::now();
}

bool SimState::GetValue(unsigned sensor, const std::string& name, std::string* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name == "auxin") {
        if (options_.io == IoMode::None) return false;
        if (options_.io == IoMode::Numeric)
            *value = auxIn_ ? "1" : "0";
        else
            *value = auxIn_ ? "on" : "off";
        return true;
    }
    if (name == "auxout" && options_.io == IoMode::None) return false;
    if (sensor >= 1 && sensor <= 4) {
        auto it = values_[sensor].find(name);
        if (it != values_[sensor].end()) {
            *value = it->second;
            return true;
        }
    }
    auto it = values_[0].find(name);
    if (it == values_[0].end()) return false;
    *value = it->second;
    return true;
}

void SimState::SetValue(unsigned sensor, const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name == "auxin") {
        auxIn_ = !(value == "0" || value == "off");
        return;
    }
    if (name == "auxout" && auxOut_.size() < kMaxListed) auxOut_.push_back(value);
    auto& values = values_[sensor > 4 ? 0 : sensor];
    if (values.size() < kMaxListed || values.count(name)) values[name] = value;
}

void SimState::SetRegister(unsigned sensor, const std::string& page, const std::string& reg,
                           const std::string& val) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (registers_.size() >= kMaxListed) registers_.erase(registers_.begin());
    std::string prefix = sensor ? "sensor=" + std::to_string(sensor) + " " : "";
    registers_.push_back(prefix + "page=" + page + " reg=" + reg + " val=" + val);
}

std::string SimState::RegistersText() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& r : registers_)
        text += r + "\n";
    return text;
}

void SimState::SetAuxIn(bool active) {
    std::lock_guard<std::mutex> lock(mutex_);
    auxIn_ = active;
}

std::string SimState::AuxOutText() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& v : auxOut_)
        text += v + "\n";
    return text;
}

void SimState::LogRequest(const std::string& method, const std::string& pathAndQuery,
                          const std::string& scheme) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.size() >= kMaxRequests) requests_.pop_front();
    requests_.push_back(method + " " + pathAndQuery + " " + scheme);
}

std::string SimState::RequestsText() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& r : requests_)
        text += r + "\n";
    return text;
}

void SimState::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void SimState::SilenceFor(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    silenceEnd_ = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    wake_.notify_all();
}

bool SimState::Silenced() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Clock::now() < silenceEnd_;
}

void SimState::AddRule(const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rules_.size() < kMaxListed) rules_.push_back(rule);
}

void SimState::ClearRules() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

bool SimState::MatchRule(const std::string& path, FaultRule* rule, bool countUse,
                         const std::string& method) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (path.compare(0, it->prefix.size(), it->prefix) != 0) continue;
        if (!it->method.empty() && it->method != method) continue;
        *rule = *it;
        if (countUse && it->remaining > 0 && --it->remaining == 0) rules_.erase(it);
        return true;
    }
    return false;
}

void SimState::RefreshSession(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessionRefreshed_[id] = Clock::now();
}

bool SimState::SessionLapsed(const std::string& id, Clock::duration timeout) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessionRefreshed_.find(id);
    if (it == sessionRefreshed_.end() || Clock::now() - it->second < timeout) return false;
    sessionRefreshed_.erase(it);
    return true;
}

std::shared_ptr<StreamStats> SimState::AddStream(const std::string& kind, const std::string& path,
                                                 unsigned sensor, unsigned width, unsigned height,
                                                 unsigned fps) {
    auto s = std::make_shared<StreamStats>();
    s->kind = kind;
    s->path = path;
    s->sensor = sensor;
    s->width = width;
    s->height = height;
    s->fps = fps;
    std::lock_guard<std::mutex> lock(mutex_);
    s->id = nextStreamId_++;
    if (streams_.size() >= kMaxStreams) {
        // Forget the oldest finished stream; keep every running one.
        for (auto it = streams_.begin(); it != streams_.end(); ++it) {
            if (!(*it)->active) {
                streams_.erase(it);
                break;
            }
        }
    }
    streams_.push_back(s);
    return s;
}

std::string SimState::StreamsText() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    for (const auto& s : streams_) {
        out << "stream id=" << s->id << " kind=" << s->kind << " sensor=" << s->sensor
            << " width=" << s->width << " height=" << s->height << " fps=" << s->fps
            << " active=" << (s->active ? 1 : 0) << " frames=" << s->frames
            << " rtp_packets=" << s->rtpPackets << " rtp_dropped=" << s->rtpDropped
            << " rtcp_received=" << s->rtcpReceived << " teardowns=" << s->teardowns
            << " path=" << s->path << "\n";
    }
    out << "teardowns=" << teardowns << "\n";
    return out.str();
}

uint64_t SimState::NextImageNumber(unsigned sensor) {
    std::lock_guard<std::mutex> lock(mutex_);
    return ++imageNumbers_[sensor > 4 ? 0 : sensor];
}

bool SimState::SleepUntil(Clock::time_point when, uint64_t epoch) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, when, [&] { return stopping_ || epoch_ != epoch; });
    return !stopping_ && epoch_ == epoch;
}

bool SimState::WaitWhileSilenced(uint64_t epoch) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_ && epoch_ == epoch && Clock::now() < silenceEnd_)
        wake_.wait_until(lock, silenceEnd_);
    return !stopping_ && epoch_ == epoch;
}

uint64_t SimState::Epoch() {
    std::lock_guard<std::mutex> lock(mutex_);
    return epoch_;
}

void SimState::NewEpoch() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++epoch_;
    wake_.notify_all();
}

void SimState::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
}

bool SimState::Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

}  // namespace camsim

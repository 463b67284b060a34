#include "PeakSampler.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace talvik_host {

PeakSampler::PeakSampler(Reader read, double intervalS)
    : read_(std::move(read)), intervalS_(intervalS), thread_([this] { Run(); }) {}

PeakSampler::~PeakSampler() {
    Stop();
}

ProcessUsage PeakSampler::Peak() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return peak_;
}

ProcessUsage PeakSampler::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    return Peak();
}

void PeakSampler::Run() {
    const auto interval = std::chrono::duration<double>(intervalS_);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const ProcessUsage now = read_();
        lock.lock();
        peak_.addressSpaceMb = std::max(peak_.addressSpaceMb, now.addressSpaceMb);
        peak_.threads = std::max(peak_.threads, now.threads);
        peak_.handles = std::max(peak_.handles, now.handles);
        wake_.wait_for(lock, interval, [this] { return stopping_; });
    }
}

}  // namespace talvik_host

// The process's peak figures while streams run, sampled on a thread of its
// own. A sample can take long: under Wine the thread count is a snapshot the
// wineserver builds, seconds with hundreds of threads behind it. A run's
// length and its stop must not wait for one.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "Platform.h"

namespace talvik_host {

// How often the process is sampled for its peak figures.
constexpr double kSampleS = 0.25;
// How often a single recording without a live progress line wakes to check
// on its stream and print its line.
constexpr double kQuietSampleS = 1.0;
// ... and samples the process: a sample walks the address space (under Wine
// some 700 calls) and lists the threads, a cost of the host's, not the
// module's, that a benchmark of the process would otherwise count. A stream's
// figures are flat once it runs, so the first sample at the start and one
// every few seconds find the peak.
constexpr double kQuietPeakSampleS = 5.0;

class PeakSampler {
public:
    using Reader = std::function<ProcessUsage()>;
    // Takes the first sample at once, then one every intervalS.
    explicit PeakSampler(Reader read = ReadProcessUsage, double intervalS = kSampleS);
    ~PeakSampler();

    PeakSampler(const PeakSampler&) = delete;
    PeakSampler& operator=(const PeakSampler&) = delete;

    // The highest figures of the samples taken so far.
    ProcessUsage Peak() const;
    // Ends the sampling, after the sample in progress, and returns the peak.
    ProcessUsage Stop();

private:
    void Run();

    Reader read_;
    double intervalS_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // under mutex_
    ProcessUsage peak_;      // under mutex_
    std::thread thread_;
};

}  // namespace talvik_host

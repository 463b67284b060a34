// The peak sampler: the highest figure of each kind across samples, taken on
// its own thread, so that a slow sample (a wineserver busy with hundreds of
// threads) holds up neither the run it measures nor a reader of the peak.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "PeakSampler.h"

namespace {

using talvik_host::PeakSampler;
using talvik_host::ProcessUsage;

ProcessUsage Usage(double mb, uint32_t threads, uint32_t handles) {
    ProcessUsage u;
    u.addressSpaceMb = mb;
    u.threads = threads;
    u.handles = handles;
    return u;
}

// Hands out the samples one at a time: each read waits until the test lets
// it through, the last one is repeated.
class Script {
public:
    explicit Script(std::vector<ProcessUsage> samples) : samples_(std::move(samples)) {}
    ProcessUsage Read() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return allowed_ > 0; });
        --allowed_;
        --waiting_;
        const ProcessUsage out = samples_[std::min(taken_, samples_.size() - 1)];
        ++taken_;
        changed_.notify_all();
        return out;
    }
    // Lets n reads through and waits until they have returned and the next
    // one has begun: the sampler has taken their figures. With `thenFree`
    // every later read goes through too.
    void Allow(size_t n, bool thenFree = false) {
        std::unique_lock<std::mutex> lock(mutex_);
        const size_t target = taken_ + n;
        allowed_ += n;
        if (thenFree) allowed_ = 1000000;
        changed_.notify_all();
        changed_.wait(lock, [&] { return taken_ >= target && (thenFree || waiting_ > 0); });
    }
    void WaitForRead() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return waiting_ > 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ProcessUsage> samples_;
    size_t allowed_ = 0;
    size_t taken_ = 0;
    size_t waiting_ = 0;
};

TEST(PeakSampler, EachFigureItsHighestWhileASampleHangs) {
    Script script({Usage(10, 5, 3), Usage(7, 9, 1), Usage(8, 2, 40)});
    PeakSampler sampler([&] { return script.Read(); }, 0.001);
    // The first sample hangs: the caller goes on, with no figure yet.
    script.WaitForRead();
    const ProcessUsage none = sampler.Peak();
    EXPECT_EQ(none.addressSpaceMb, 0);
    EXPECT_EQ(none.threads, 0u);
    EXPECT_EQ(none.handles, 0u);

    script.Allow(2);
    const ProcessUsage two = sampler.Peak();
    EXPECT_EQ(two.addressSpaceMb, 10);
    EXPECT_EQ(two.threads, 9u);
    EXPECT_EQ(two.handles, 3u);

    script.Allow(1, true);
    const ProcessUsage all = sampler.Stop();
    EXPECT_EQ(all.addressSpaceMb, 10);
    EXPECT_EQ(all.threads, 9u);
    EXPECT_EQ(all.handles, 40u);
}

}  // namespace

// Test doubles for the digital I/O (here and in the end-to-end tests): a
// driver with settable I/O counts and a host callback that records what it
// is told.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "io/ArecontDigitalIO.h"
#include "support/FakeHost.h"

namespace talvik_test {

// The shared fake driver, named as the real one, with I/O counts a test may
// change between starts.
class IoDriver : public FakeDriver {
public:
    IoDriver(uint32_t inputs, uint32_t outputs) : inputs(inputs), outputs(outputs) {
        device.address = "127.0.0.1";
        device.port = 8080;
        driverName = "talvik_arecont";
    }
    std::pair<uint32_t, uint32_t> GetIOCounts() override { return {inputs.load(), outputs.load()}; }
    std::atomic<uint32_t> inputs, outputs;
};

class RecordingCallback : public talvik::ICaptureIOCallback {
public:
    void OnInputStateChanged(uint32_t index, uint32_t state) override {
        std::lock_guard<std::mutex> guard(mutex_);
        changes_.emplace_back(index, state);
    }
    void OnIOFailure() override { ++failures; }
    std::vector<std::pair<uint32_t, uint32_t>> Changes() {
        std::lock_guard<std::mutex> guard(mutex_);
        return changes_;
    }
    std::atomic<int> failures{0};

private:
    std::mutex mutex_;
    std::vector<std::pair<uint32_t, uint32_t>> changes_;
};

}  // namespace talvik_test

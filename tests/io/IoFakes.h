// Test doubles for the digital I/O: a driver with settable I/O counts, a
// camera with one aux input and output behind two requesters, and a host
// callback that records what it is told.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/ArecontDigitalIO.h"
#include "support/FakeHost.h"
#include "support/Threads.h"

namespace talvik_test {

// The shared fake driver, named as the real one, with I/O counts a test may
// change while the engine runs.
class IoDriver : public FakeDriver {
public:
    IoDriver(uint32_t inputs, uint32_t outputs) : inputs(inputs), outputs(outputs) {
        device.address = "127.0.0.1";
        device.port = 8080;
        driverName = "talvik_arecont";
    }
    std::pair<uint32_t, uint32_t> GetIOCounts() override { return {inputs.load(), outputs.load()}; }

    std::atomic<uint32_t> inputs;
    std::atomic<uint32_t> outputs;
};

// A camera with "auxin" and "auxout". Shared by the two requesters, as the
// real camera is shared by the two senders.
class FakeCamera {
public:
    void SetAuxIn(const std::string& body, bool ok = true) {
        std::lock_guard<std::mutex> guard(mutex_);
        auxInBody_ = body;
        auxInOk_ = ok;
    }
    void SetWritesOk(bool ok) { writesOk_ = ok; }
    // Reads after the first `after` ones hang until cancelled.
    void HangReadsAfter(int after) { hangReadsAfter_ = after; }
    void HangWrites(bool hang) { hangWrites_ = hang; }

    std::vector<std::string> Writes() { return Copy(writes_); }
    std::vector<std::string> ReadPaths() { return Copy(readPaths_); }
    int Reads() { return int(Copy(readPaths_).size()); }
    int Hanging() { return hanging_; }

    bool Read(const std::string& path, std::string& text, const std::atomic<int>& cancels) {
        std::unique_lock<std::mutex> lock(mutex_);
        text.clear();
        readPaths_.push_back(path);
        if (hangReadsAfter_ >= 0 && int(readPaths_.size()) > hangReadsAfter_)
            return HangUntilCancelled(lock, cancels);
        if (!auxInOk_ || auxInBody_.empty()) return false;
        text = auxInBody_;
        return true;
    }

    bool Write(const std::string& path, const std::atomic<int>& cancels) {
        std::unique_lock<std::mutex> lock(mutex_);
        writes_.push_back(path);
        return hangWrites_ ? HangUntilCancelled(lock, cancels) : writesOk_.load();
    }

    // Under the lock, so that a waiter between its check and its sleep is not missed.
    void WakeAll() {
        std::lock_guard<std::mutex> guard(mutex_);
        cv_.notify_all();
    }

private:
    std::vector<std::string> Copy(const std::vector<std::string>& list) {
        std::lock_guard<std::mutex> guard(mutex_);
        return list;
    }
    // Only a Cancel made after the request began ends it, as with the sender.
    bool HangUntilCancelled(std::unique_lock<std::mutex>& lock, const std::atomic<int>& cancels) {
        const int start = cancels.load();
        ++hanging_;
        cv_.wait(lock, [&] { return cancels.load() != start; });
        --hanging_;
        return false;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::string auxInBody_ = "auxin=off";
    bool auxInOk_ = true;
    std::atomic<bool> writesOk_{true};
    std::atomic<int> hangReadsAfter_{-1};
    std::atomic<bool> hangWrites_{false};
    std::atomic<int> hanging_{0};
    std::vector<std::string> writes_;
    std::vector<std::string> readPaths_;
};

class FakeRequester : public talvik::IAuxRequester {
public:
    explicit FakeRequester(FakeCamera& camera) : camera_(camera) {}
    bool RequestGetIfOk(const std::string& path, std::string& text) override {
        text.clear();
        if (aborted_) return false;
        return camera_.Read(path, text, cancels_);
    }
    bool RequestGet(const std::string& path) override {
        if (aborted_) return false;
        return camera_.Write(path, cancels_);
    }
    void Cancel() override {
        aborted_ = true;
        ++cancels_;
        camera_.WakeAll();
    }
    void Rearm() override { aborted_ = false; }

private:
    FakeCamera& camera_;
    std::atomic<int> cancels_{0};
    std::atomic<bool> aborted_{false};
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

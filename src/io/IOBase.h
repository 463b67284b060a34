// I/O engine: polls a device's digital inputs on one thread and applies
// queued output changes on another, so that the host's calls return at once.
// It keeps the last known state of every input and output, writes an output
// only when its state changes, and forgets everything after a device failure.
// A device class supplies the actual reads and writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "ThreadCancel.h"
#include "base/Driver.h"
#include "base/Event.h"
#include "base/Lock.h"
#include "base/Thread.h"
#include "talvik/CaptureIO.h"

namespace talvik {

enum IOState : uint32_t {
    kIOStateNone = 0,  // nothing known (after every reset)
    kIOStateInactive = 1,
    kIOStateActive = 2,
};

constexpr uint32_t kInputPollPeriodMs = 2000;

// One requested output change; owned by the queue that holds it.
class COutputState {
public:
    COutputState(uint32_t index, uint32_t state) : index(index), state(state) {}
    virtual ~COutputState() = default;

    uint32_t index;
    uint32_t state;
};

// Calls OnTick every periodMs, counted from the end of the previous tick.
class CTickThread : public CBaseThread {
public:
    explicit CTickThread(IDebugMessage* logger) : CBaseThread(logger) {}

    uint32_t periodMs = kInputPollPeriodMs;
    bool tickAtStart = false;

    void SignalStop() { StopEvent().Set(); }
    bool IsStopping() { return StopRequested(); }

protected:
    void Run() override;
    virtual void OnTick() = 0;
};

template <class Owner>
class TTickThread : public CTickThread {
public:
    using Callback = void (Owner::*)();

    TTickThread(IDebugMessage* logger, Owner* owner, Callback callback)
        : CTickThread(logger), owner_(owner), callback_(callback) {}

protected:
    void OnTick() override {
        if (owner_ != nullptr && callback_ != nullptr) (owner_->*callback_)();
    }

private:
    Owner* owner_;
    Callback callback_;
};

// A worker that takes items from a first-in first-out queue one at a time.
// Items queued while it stops are refused; items left at a stop are dropped.
template <class Item>
class CQueueThread : public CBaseThread {
public:
    explicit CQueueThread(IDebugMessage* logger) : CBaseThread(logger) {}
    ~CQueueThread() override {
        JoinThread(5000);
        ClearQueue();
    }

    virtual bool StartQueue(const std::string& name) {
        itemEvent_.Reset();
        return StartThread(name);
    }

    virtual bool StopQueue(uint32_t timeoutMs) {
        StopEvent().Set();
        ClearQueue();
        return JoinThread(timeoutMs);
    }

    // Takes ownership of item in every case; false when the worker is stopping.
    bool QueueItem(std::unique_ptr<Item> item) {
        if (StopRequested()) return false;
        CLockGuard guard(queueLock_);
        queue_.push_back(std::move(item));
        itemEvent_.Set();
        return true;
    }

    void SignalStop() { StopEvent().Set(); }
    bool IsStopping() { return StopRequested(); }

    size_t QueuedCount() {
        CLockGuard guard(queueLock_);
        return queue_.size();
    }

protected:
    virtual void OnItem(Item* item) = 0;

    void Run() override {
        CEvent* events[2] = {&StopEvent(), &itemEvent_};
        for (;;) {
            if (StopRequested()) return;
            if (WaitAny(events, 2, 1000) != 1) continue;
            while (std::unique_ptr<Item> item = TakeFront()) {
                // Whatever was not taken yet is dropped by StopQueue.
                if (StopRequested()) return;
                try {
                    OnItem(item.get());
                } catch (...) {
                    RethrowThreadCancellation();
                    // One bad item must not end the worker.
                }
            }
        }
    }

private:
    std::unique_ptr<Item> TakeFront() {
        CLockGuard guard(queueLock_);
        if (queue_.empty()) return nullptr;
        std::unique_ptr<Item> item = std::move(queue_.front());
        queue_.pop_front();
        return item;
    }

    void ClearQueue() {
        std::deque<std::unique_ptr<Item>> dropped;
        {
            CLockGuard guard(queueLock_);
            dropped.swap(queue_);
        }
    }

    CEvent itemEvent_{false};
    CLock queueLock_;
    std::deque<std::unique_ptr<Item>> queue_;
};

template <class Owner>
class TOutputHandler : public CQueueThread<COutputState> {
public:
    using Callback = bool (Owner::*)(uint32_t index, uint32_t state);

    TOutputHandler(IDebugMessage* logger, Owner* owner, Callback callback)
        : CQueueThread<COutputState>(logger), owner_(owner), callback_(callback) {}

protected:
    void OnItem(COutputState* item) override {
        if (owner_ != nullptr && callback_ != nullptr && item != nullptr)
            (owner_->*callback_)(item->index, item->state);
    }

private:
    Owner* owner_;
    Callback callback_;
};

class CIOBase : public ipcapture::ICaptureIOApi {
public:
    explicit CIOBase(IDriver* driver);
    ~CIOBase() override;

    CIOBase(const CIOBase&) = delete;
    CIOBase& operator=(const CIOBase&) = delete;

    bool SetCallback(ICaptureIOCallback* callback) override;
    bool StartIO() override;
    bool StopIO() override;
    uint32_t GetInputCount() override;
    uint32_t GetOutputCount() override;
    bool ChangeOutputState(uint32_t index, uint32_t state) override;

    // Runs on the output thread for every queued change.
    virtual bool SetOutputStateWrapper(uint32_t index, uint32_t state);
    // Writes one output to the device.
    virtual bool SetOutputState(uint32_t index, uint32_t state) = 0;
    // Reads the inputs and reports each through UpdateInputState.
    virtual bool GetInputStates(uint32_t inputCount) = 0;
    // Runs in StartIO before the threads start.
    virtual void OnStartIO() {}
    // Cuts short a device request in progress on either thread.
    virtual void AbortRequests() = 0;

    // The owner's last act before it lets go of `self`, its share: ends the
    // threads; an input thread left running (inside the host's callback or
    // a camera request) takes a share, and the last share deletes the object.
    void Retire(const std::shared_ptr<CIOBase>& self);

    // Takes effect at the next StartIO; the default is 2000 ms.
    void SetInputPollPeriod(uint32_t periodMs) { inputThread_.periodMs = periodMs; }
    uint32_t InputPollPeriod() const { return inputThread_.periodMs; }

protected:
    // For device classes: records the state and tells the host when it changed.
    void UpdateInputState(uint32_t index, uint32_t state);
    // Device classes call this first in their destructor: the threads call
    // into the device class, so they must end before its members go.
    void ShutdownThreads();
    IDriver* Driver() const { return driver_; }

private:
    void GetInputStatesWrapper();
    void ResetStates();
    void ReportFailure();
    void LogStartFailed(const std::string& threadName);
    std::pair<uint32_t, uint32_t> IOCounts();
    std::string ThreadName(const char* format);
    void StopThreads(bool abortRequests);

    // First, so it goes last: the threads log through the driver as they end.
    std::shared_ptr<IDriver> driverShare_;
    IDriver* driver_;
    TTickThread<CIOBase> inputThread_;
    TOutputHandler<CIOBase> outputThread_;
    std::atomic<ICaptureIOCallback*> callback_{nullptr};
    CLock lock_;
    std::map<uint32_t, uint32_t> inputStates_;
    std::map<uint32_t, uint32_t> outputStates_;
    bool reportInputFailure_ = true;
    bool reportOutputFailure_ = true;
    bool started_ = false;  // between StartIO and StopIO; host's controlling thread only
};

}  // namespace talvik

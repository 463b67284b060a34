// The reference host's capability store: keeps everything the module writes
// into it and prints it as text or JSON. Filled on the module's worker thread,
// read by the host after the query's callback; a lock keeps a print taken
// meanwhile consistent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "talvik/CapabilityQuery.h"

namespace talvik_host {

struct StoredProperty {
    std::string name;
    std::string value;
    uint32_t isText = 0;
    uint32_t flags = 0;
    bool operator==(const StoredProperty& o) const {
        return name == o.name && value == o.value && isText == o.isText && flags == o.flags;
    }
};

struct StoredResolution {
    std::string label;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t minFrameIntervalMs = 0;
    bool operator==(const StoredResolution& o) const {
        return label == o.label && width == o.width && height == o.height &&
               minFrameIntervalMs == o.minFrameIntervalMs;
    }
};

// A consistent copy of the store's contents.
struct CapabilitySnapshot {
    std::string modelName;
    std::map<uint32_t, uint32_t> capabilities;   // last value per id
    std::map<uint32_t, std::string> connection;  // 1 address, 2 port, 3 user, 4 password
    std::vector<StoredResolution> resolutions;
    std::vector<uint32_t> frameIntervals;  // in the order added
    uint32_t defaultFrameInterval = 0;     // 0: none set
    std::map<uint32_t, StoredProperty> properties;
};

class CCapabilityStore : public talvik::ICapabilityStore {
public:
    CCapabilityStore();
    ~CCapabilityStore() override;

    void SetCapability(uint32_t id, uint32_t value) override;
    void SetModelName(const char* name) override;
    talvik::IStoreProperty* GetConnectionParameter(uint32_t index) override;  // 1 to 4, else null
    talvik::IStoreProperty* CreateProperty(uint32_t index) override;
    talvik::IResolutionList* GetResolutionList() override;
    talvik::IFrameIntervalList* GetFrameIntervalList(uint32_t which) override;  // list 1 only

    CapabilitySnapshot Snapshot() const;

    // Human-readable listing and a JSON object of the same contents.
    static std::string FormatText(const CapabilitySnapshot& snapshot);
    static std::string FormatJson(const CapabilitySnapshot& snapshot);

private:
    class Property;
    class ResolutionList;
    class FrameIntervalList;

    mutable std::mutex mutex_;
    CapabilitySnapshot contents_;
    // Objects handed to the module; they write through to contents_.
    std::map<uint32_t, Property*> connectionObjects_;
    std::map<uint32_t, Property*> propertyObjects_;
    ResolutionList* resolutionList_;
    FrameIntervalList* frameIntervalList_;
};

// What the module reported through the query callback.
struct QueryReport {
    enum Kind { kCompleted, kFailed, kTerminated } kind = kCompleted;
    uint32_t code = 0;  // OnFailed only
    std::string message;
    bool operator==(const QueryReport& o) const {
        return kind == o.kind && code == o.code && message == o.message;
    }
};

// "completed", "failed 3: message" or "terminated".
std::string FormatReport(const QueryReport& report);

// The host's query callback: keeps every report and wakes a waiter on the
// first OnCompleted or OnFailed.
class CCapabilityQueryCallback : public talvik::ICapabilityQueryCallback {
public:
    void OnCompleted() override;
    void OnFailed(uint32_t code, const char* message) override;
    void OnTerminated() override;

    // True when OnCompleted or OnFailed came within timeoutMs.
    bool WaitForOutcome(uint32_t timeoutMs);
    std::vector<QueryReport> Reports() const;

private:
    void Add(QueryReport report);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<QueryReport> reports_;
    bool outcome_ = false;
};

// Text quoted for JSON (with the surrounding quotation marks).
std::string JsonQuote(const std::string& text);

}  // namespace talvik_host

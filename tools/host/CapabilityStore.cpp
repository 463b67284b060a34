#include "CapabilityStore.h"

#include <chrono>
#include <cstdio>

namespace talvik_host {

namespace {

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::string Decimal(uint32_t value) {
    return std::to_string(value);
}

}  // namespace

// Each object writes into the store's contents under the store's lock.
class CCapabilityStore::Property : public talvik::IStoreProperty {
public:
    Property(std::mutex& mutex, std::map<uint32_t, StoredProperty>* table, uint32_t index,
             std::map<uint32_t, std::string>* plainValues)
        : mutex_(mutex), table_(table), index_(index), plainValues_(plainValues) {}

    void SetValue(const char* value) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (plainValues_ != nullptr) {
            (*plainValues_)[index_] = Text(value);
        } else {
            (*table_)[index_].value = Text(value);
        }
    }
    void SetValueIsText(uint32_t isText) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (table_ != nullptr) (*table_)[index_].isText = isText;
    }
    void SetName(const char* name) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (table_ != nullptr) (*table_)[index_].name = Text(name);
    }
    void SetFlags(uint32_t flags) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (table_ != nullptr) (*table_)[index_].flags = flags;
    }

private:
    std::mutex& mutex_;
    std::map<uint32_t, StoredProperty>* table_;  // named properties
    uint32_t index_;
    std::map<uint32_t, std::string>* plainValues_;  // connection parameters
};

class CCapabilityStore::ResolutionList : public talvik::IResolutionList {
public:
    ResolutionList(std::mutex& mutex, std::vector<StoredResolution>* list)
        : mutex_(mutex), list_(list) {}
    void Add(const char* label, uint32_t width, uint32_t height,
             uint32_t minFrameIntervalMs) override {
        std::lock_guard<std::mutex> guard(mutex_);
        list_->push_back(StoredResolution{Text(label), width, height, minFrameIntervalMs});
    }

private:
    std::mutex& mutex_;
    std::vector<StoredResolution>* list_;
};

class CCapabilityStore::FrameIntervalList : public talvik::IFrameIntervalList {
public:
    FrameIntervalList(std::mutex& mutex, CapabilitySnapshot* contents)
        : mutex_(mutex), contents_(contents) {}
    void SetDefault(uint32_t intervalMs) override {
        std::lock_guard<std::mutex> guard(mutex_);
        contents_->defaultFrameInterval = intervalMs;
    }
    void Add(uint32_t intervalMs) override {
        std::lock_guard<std::mutex> guard(mutex_);
        contents_->frameIntervals.push_back(intervalMs);
    }

private:
    std::mutex& mutex_;
    CapabilitySnapshot* contents_;
};

CCapabilityStore::CCapabilityStore()
    : resolutionList_(new ResolutionList(mutex_, &contents_.resolutions)),
      frameIntervalList_(new FrameIntervalList(mutex_, &contents_)) {}

CCapabilityStore::~CCapabilityStore() {
    for (auto& entry : connectionObjects_)
        delete entry.second;
    for (auto& entry : propertyObjects_)
        delete entry.second;
    delete resolutionList_;
    delete frameIntervalList_;
}

void CCapabilityStore::SetCapability(uint32_t id, uint32_t value) {
    std::lock_guard<std::mutex> guard(mutex_);
    contents_.capabilities[id] = value;
}

void CCapabilityStore::SetModelName(const char* name) {
    std::lock_guard<std::mutex> guard(mutex_);
    contents_.modelName = Text(name);
}

talvik::IStoreProperty* CCapabilityStore::GetConnectionParameter(uint32_t index) {
    if (index < 1 || index > 4) return nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    Property*& object = connectionObjects_[index];
    if (object == nullptr) object = new Property(mutex_, nullptr, index, &contents_.connection);
    return object;
}

talvik::IStoreProperty* CCapabilityStore::CreateProperty(uint32_t index) {
    if (index == 0) return nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    contents_.properties[index] = StoredProperty{};
    Property*& object = propertyObjects_[index];
    if (object == nullptr) object = new Property(mutex_, &contents_.properties, index, nullptr);
    return object;
}

talvik::IResolutionList* CCapabilityStore::GetResolutionList() {
    return resolutionList_;
}

talvik::IFrameIntervalList* CCapabilityStore::GetFrameIntervalList(uint32_t which) {
    return which == 1 ? frameIntervalList_ : nullptr;
}

CapabilitySnapshot CCapabilityStore::Snapshot() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return contents_;
}

std::string FormatReport(const QueryReport& report) {
    switch (report.kind) {
        case QueryReport::kCompleted:
            return "completed";
        case QueryReport::kFailed:
            return "failed " + Decimal(report.code) + ": " + report.message;
        case QueryReport::kTerminated:
            return "terminated";
    }
    return "?";
}

void CCapabilityQueryCallback::OnCompleted() {
    Add({QueryReport::kCompleted, 0, ""});
}

void CCapabilityQueryCallback::OnFailed(uint32_t code, const char* message) {
    Add({QueryReport::kFailed, code, Text(message)});
}

void CCapabilityQueryCallback::OnTerminated() {
    Add({QueryReport::kTerminated, 0, ""});
}

void CCapabilityQueryCallback::Add(QueryReport report) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (report.kind != QueryReport::kTerminated) outcome_ = true;
    reports_.push_back(std::move(report));
    changed_.notify_all();
}

bool CCapabilityQueryCallback::WaitForOutcome(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return outcome_; });
}

std::vector<QueryReport> CCapabilityQueryCallback::Reports() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return reports_;
}

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string CCapabilityStore::FormatText(const CapabilitySnapshot& s) {
    std::string out = "Model: " + s.modelName + "\n";
    static const char* const kConnectionNames[] = {"", "address", "port", "user", "password"};
    out += "Connection:";
    for (const auto& entry : s.connection) {
        const char* name = entry.first <= 4 ? kConnectionNames[entry.first] : "?";
        out += std::string(" ") + name + "=" + entry.second;
    }
    out += "\nCapabilities:";
    for (const auto& entry : s.capabilities) {
        out += " " + Decimal(entry.first) + "=" + Decimal(entry.second);
    }
    out += "\nResolutions:\n";
    for (const StoredResolution& r : s.resolutions) {
        out += "  " + r.label + " (" + Decimal(r.width) + " x " + Decimal(r.height) +
               "), shortest interval " + Decimal(r.minFrameIntervalMs) + " ms\n";
    }
    out += "Frame intervals (ms):";
    for (uint32_t interval : s.frameIntervals)
        out += " " + Decimal(interval);
    out += "\nDefault frame interval: " + Decimal(s.defaultFrameInterval) + " ms\n";
    out += "Properties:\n";
    for (const auto& entry : s.properties) {
        const StoredProperty& p = entry.second;
        out += "  " + Decimal(entry.first) + " \"" + p.name + "\" = \"" + p.value + "\"" +
               (p.isText != 0 ? " (text)" : " (number)") + "\n";
    }
    return out;
}

std::string CCapabilityStore::FormatJson(const CapabilitySnapshot& s) {
    std::string out = "{\"model\":" + JsonQuote(s.modelName) + ",\"connection\":{";
    static const char* const kConnectionNames[] = {"", "address", "port", "user", "password"};
    bool first = true;
    for (const auto& entry : s.connection) {
        if (!first) out += ",";
        first = false;
        const char* name = entry.first <= 4 ? kConnectionNames[entry.first] : "?";
        out += JsonQuote(name) + ":" + JsonQuote(entry.second);
    }
    out += "},\"capabilities\":{";
    first = true;
    for (const auto& entry : s.capabilities) {
        if (!first) out += ",";
        first = false;
        out += JsonQuote(Decimal(entry.first)) + ":" + Decimal(entry.second);
    }
    out += "},\"resolutions\":[";
    first = true;
    for (const StoredResolution& r : s.resolutions) {
        if (!first) out += ",";
        first = false;
        out += "{\"label\":" + JsonQuote(r.label) + ",\"width\":" + Decimal(r.width) +
               ",\"height\":" + Decimal(r.height) +
               ",\"minFrameIntervalMs\":" + Decimal(r.minFrameIntervalMs) + "}";
    }
    out += "],\"frameIntervals\":[";
    first = true;
    for (uint32_t interval : s.frameIntervals) {
        if (!first) out += ",";
        first = false;
        out += Decimal(interval);
    }
    out += "],\"defaultFrameInterval\":" + Decimal(s.defaultFrameInterval) + ",\"properties\":[";
    first = true;
    for (const auto& entry : s.properties) {
        if (!first) out += ",";
        first = false;
        const StoredProperty& p = entry.second;
        out += "{\"index\":" + Decimal(entry.first) + ",\"name\":" + JsonQuote(p.name) +
               ",\"value\":" + JsonQuote(p.value) + ",\"text\":" + (p.isText ? "true" : "false") +
               "}";
    }
    return out + "]}";
}

}  // namespace talvik_host

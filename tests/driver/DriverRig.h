// The fake channel and the data-file rows of the driver tests.
#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "channels/CameraChannel.h"
#include "support/TestFiles.h"

namespace talvik_driver_test {

// The rows of data/<name>, fields split at '|'; '#' starts a comment line.
inline std::vector<std::vector<std::string>> Rows(const std::string& name) {
    return talvik::test::DataRows("driver/data/" + name, "|");
}

// A field as a number: decimal, or hexadecimal after 0x.
inline uint32_t U(const std::string& field) {
    return uint32_t(std::stoul(field, nullptr, 0));
}

using talvik::STREAM_PARAMS;

// Every call of every fake channel, in order, as text.
using Journal = std::vector<std::string>;

class FakeChannel : public talvik::ICameraChannel {
public:
    FakeChannel(int id, Journal* journal, bool startResult)
        : id_(id), journal_(journal), startResult_(startResult) {}
    ~FakeChannel() override { Note("destroyed"); }

    void ApplyHostOption(uint32_t option) override { Note("option " + std::to_string(option)); }
    bool Start(const STREAM_PARAMS* p) override {
        params = *p;
        Note("start");
        return startResult_;
    }
    void Stop() override {
        Note("stop");
        if (onStop) onStop();
    }
    bool UpdateStreamParams(const talvik::STREAM_UPDATE& u) override {
        Note("update " + std::to_string(u.frameIntervalMs) + " " + std::to_string(u.width) + "x" +
             std::to_string(u.height));
        return true;
    }
    bool Pause() override {
        Note("pause");
        return true;
    }
    bool Resume() override {
        Note("resume");
        return true;
    }
    uint32_t GetStatus() override { return status; }
    void Run() override {}
    void OnStopping() override {}
    uint32_t GetVideoInput() override { return 0; }
    talvik::IHostFrameSink* GetFrameSink() override { return nullptr; }
    void SetFrameTimeListener(talvik::IFrameTimeListener*) override {}

    STREAM_PARAMS params;
    uint32_t status = talvik::kChannelStreaming;
    std::function<void()> onStop;

private:
    void Note(const std::string& what) {
        journal_->push_back("#" + std::to_string(id_) + " " + what);
    }
    int id_;
    Journal* journal_;
    bool startResult_;
};

}  // namespace talvik_driver_test

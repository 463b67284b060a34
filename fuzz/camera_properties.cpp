// Camera replies into the capability record: the input holds the bodies of
// the seven "/get?" replies, in request order, separated by 0xFF bytes (a
// missing one is a failed request). Whatever the camera says, the record
// written to the store must stay within its bounds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/ArecontCameraProperties.h"

namespace {

class CheckingStore : public talvik::ICapabilityStore,
                      talvik::IStoreProperty,
                      talvik::IResolutionList,
                      talvik::IFrameIntervalList {
public:
    void SetCapability(uint32_t, uint32_t) override {}
    void SetModelName(const char* name) override {
        if (name == nullptr) __builtin_trap();
    }
    IStoreProperty* GetConnectionParameter(uint32_t) override { return this; }
    IStoreProperty* CreateProperty(uint32_t) override { return this; }
    talvik::IResolutionList* GetResolutionList() override { return this; }
    talvik::IFrameIntervalList* GetFrameIntervalList(uint32_t) override { return this; }
    void SetValue(const char* value) override {
        if (value == nullptr) __builtin_trap();
    }
    void SetValueIsText(uint32_t) override {}
    void SetName(const char*) override {}
    void SetFlags(uint32_t) override {}
    void Add(const char* label, uint32_t width, uint32_t height, uint32_t interval) override {
        // Sizes come from the sensor reply halved at most once; no empty size
        // or interval may reach the host.
        if (label == nullptr || width == 0 || height == 0 || interval == 0) __builtin_trap();
        ++resolutions;
    }
    void SetDefault(uint32_t interval) override {
        if (interval == 0) __builtin_trap();
    }
    void Add(uint32_t interval) override {
        if (interval == 0) __builtin_trap();
    }
    int resolutions = 0;
};

// Answers each known path with its reply from the input; an empty or missing
// reply is a failed request.
class ScriptedCamera : public talvik::ICameraRequest {
public:
    ScriptedCamera(const char* const* paths, const std::vector<std::string>& replies)
        : paths_(paths), replies_(replies) {}
    talvik::CameraReply Get(const std::string& path, bool readBody) override {
        talvik::CameraReply reply;
        for (size_t i = 0; i < 7 && i < replies_.size(); ++i) {
            if (path == paths_[i] && !replies_[i].empty()) {
                reply.status = 200;
                if (readBody) reply.body = replies_[i];
            }
        }
        return reply;
    }
    void Cancel() override {}
    void Rearm() override {}

private:
    const char* const* paths_;
    const std::vector<std::string>& replies_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kPaths[] = {
        "/get?model=releasename", "/get?channelenable", "/get?sensorheight",
        "/get?sensorwidth",       "/get?auxin",         "/get?auxout",
        "/get?fwversion"};
    std::vector<std::string> replies(1);
    for (size_t i = 0; i < size && replies.size() <= 7; ++i) {
        if (data[i] == 0xFF) {
            replies.emplace_back();
        } else {
            replies.back().push_back(static_cast<char>(data[i]));
        }
    }
    talvik::DEVICE_INFO device;
    device.address = "127.0.0.1";
    talvik::CArecontCameraProperties properties(device, 0);
    properties.SetHostCoreVersionReader([] { return talvik::HostCoreVersion{}; });
    properties.SetCamera(std::make_unique<ScriptedCamera>(kPaths, replies));
    uint32_t code = 0;
    const bool read = properties.ReadFromDevice(code);
    if (!read && code != 3) __builtin_trap();
    CheckingStore store;
    const bool written = properties.WriteCapabilities(&store);
    if (written && store.resolutions == 0) __builtin_trap();
    return 0;
}

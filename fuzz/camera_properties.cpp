// Camera replies into the capability record: the input holds the bodies of
// the seven "/get?" replies, in request order, separated by 0xFF bytes (an
// empty or missing one is a failed request). Whatever the camera says, what
// is written to the store stays within its bounds: no empty text, size or
// frame interval reaches the host.
#include <memory>

#include "FuzzTarget.h"
#include "camera/ArecontCameraProperties.h"

namespace {

// Every call in order; no empty text, size or frame interval may reach the host.
class Store : public ICapabilityStore, IStoreProperty, IResolutionList, IFrameIntervalList {
public:
    void SetCapability(uint32_t id, uint32_t value) override {
        Note(" cap", id)->s << "=" << value;
    }
    void SetModelName(const char* name) override { Text(" model=", name); }
    IStoreProperty* GetConnectionParameter(uint32_t i) override { return Note(" parameter", i); }
    IStoreProperty* CreateProperty(uint32_t i) override { return Note("\nproperty", i); }
    IResolutionList* GetResolutionList() override { return Note("\nresolutions", 0); }
    IFrameIntervalList* GetFrameIntervalList(uint32_t i) override { return Note("\nrates", i); }
    void SetValue(const char* value) override { Text(" value=", value); }
    void SetValueIsText(uint32_t isText) override { Note(" text=", isText); }
    void SetName(const char* name) override { Text(" name=", name); }
    void SetFlags(uint32_t flags) override { Note(" flags=", flags); }
    void Add(const char* label, uint32_t width, uint32_t height, uint32_t interval) override {
        Text(" ", label);
        Note(":", width, true), Note("x", height, true), Note("/", interval, true);
        ++resolutions;
    }
    void SetDefault(uint32_t interval) override { Note(" default=", interval, true); }
    void Add(uint32_t interval) override { Note(" ", interval, true); }
    Store* Note(const char* what, uint32_t n, bool nonZero = false) {
        FUZZ_CHECK(n != 0 || !nonZero);
        s << what << n;
        return this;
    }
    void Text(const char* what, const char* text) {
        FUZZ_CHECK(text != nullptr);
        s << what << text;
    }
    std::ostringstream s;
    int resolutions = 0;
};

// Answers each path with its reply from the input, an empty one as a failure.
class ScriptedCamera : public ICameraRequest {
public:
    CameraReply Get(const std::string& path, bool readBody) override {
        const std::string& body = replies[path];
        return {body.empty() ? 0u : 200u, readBody ? body : ""};
    }
    void Cancel() override {}
    void Rearm() override {}
    std::map<std::string, std::string> replies;
};

std::string CameraProperties(const Bytes& in) {
    static const char* const kPaths[] = {"model=releasename", "channelenable", "sensorheight",
                                         "sensorwidth",       "auxin",         "auxout",
                                         "fwversion"};
    auto camera = std::make_unique<ScriptedCamera>();
    const std::vector<std::string> replies = Split(in, 0xFF, 8);
    for (size_t i = 0; i < 7 && i < replies.size(); ++i)
        camera->replies[std::string("/get?") + kPaths[i]] = replies[i];
    DEVICE_INFO device;
    device.address = "127.0.0.1";
    CArecontCameraProperties properties(device, 0);
    properties.SetHostCoreVersionReader([] { return HostCoreVersion{}; });
    properties.SetCamera(std::move(camera));
    uint32_t code = 0;
    const bool read = properties.ReadFromDevice(code);
    FUZZ_CHECK(read || code == 3);
    Store store;
    const bool written = properties.WriteCapabilities(&store);
    FUZZ_CHECK(!written || store.resolutions != 0);
    return "read=" + std::to_string(read) + " code=" + std::to_string(code) +
           " written=" + std::to_string(written) + store.s.str() + "\n";
}

}  // namespace

FUZZ_TARGET(CameraProperties);

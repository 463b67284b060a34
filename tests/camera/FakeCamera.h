// A camera's "/get?" interface as a table of replies, with the requests it saw.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "camera/ArecontCameraProperties.h"

namespace talvik_test {

class FakeCamera {
public:
    // Typical replies of a camera: "/get?NAME" answers "NAME=value".
    static void SetUpArecont(FakeCamera& camera, const std::string& model, const std::string& width,
                             const std::string& height, const std::string& channelenable = "1",
                             const std::string& firmware = "65174") {
        camera.Reply("/get?model=releasename", "model=" + model + "\r\n");
        camera.Value("channelenable", channelenable);
        camera.Value("sensorwidth", width);
        camera.Value("sensorheight", height);
        camera.Value("auxin", "0");
        camera.Value("auxout", "0");
        camera.Value("fwversion", firmware);
    }

    void Reply(const std::string& path, const std::string& body) {
        std::lock_guard<std::mutex> guard(mutex_);
        replies_[path] = body;
    }
    void Value(const std::string& name, const std::string& value) {
        Reply("/get?" + name, name + "=" + value + "\r\n");
    }
    void Remove(const std::string& path) {
        std::lock_guard<std::mutex> guard(mutex_);
        replies_.erase(path);
    }
    // Runs before the reply to a request is looked up (to cancel or block
    // mid-read). Set it before the camera is used.
    void OnRequest(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }

    talvik::CameraGetBody Requester() {
        return [this](const std::string& path, std::string& body) {
            if (hook_) hook_(path);
            std::lock_guard<std::mutex> guard(mutex_);
            requests_.push_back(path);
            auto found = replies_.find(path);
            if (found == replies_.end()) return false;
            body = found->second;
            return !body.empty();
        };
    }

    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    std::vector<std::string> requests_;
    std::function<void(const std::string&)> hook_;
};

}  // namespace talvik_test

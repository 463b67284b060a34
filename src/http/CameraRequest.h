// The one way the module asks a camera something over its control paths:
// GET of a path, answered by a status and (when asked for) the body. The
// channels' camera preparation, the camera properties and the digital I/O
// all go through it; tests put a fake camera behind it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/DeviceInfo.h"
#include "http/HttpSender.h"

namespace talvik {

struct CameraReply {
    uint32_t status = 0;  // 0: no answer (not sent, refused connection, time-out, cancel)
    std::string body;     // read on a 2xx status when asked for; empty when cut short
    bool Ok() const { return status >= 200 && status <= 299; }
};

class ICameraRequest {
public:
    virtual ~ICameraRequest() = default;
    virtual CameraReply Get(const std::string& path, bool readBody) = 0;
    // From another thread: the request in flight fails at once, and so does
    // every later one until Rearm.
    virtual void Cancel() = 0;
    virtual void Rearm() = 0;
    // How the camera refused the credentials last, empty when it did not.
    virtual std::string DescribeRefusal() const { return std::string(); }
};

// True on a 2xx status with a non-empty body, which is then in `body`.
bool GetCameraBody(ICameraRequest& camera, const std::string& path, std::string& body);
// True on a 2xx status; the body is not read.
bool GetCameraOk(ICameraRequest& camera, const std::string& path);

// Over a Web::CHttpSender: its own, or one the owner also streams over.
class CHttpCameraRequest : public ICameraRequest {
public:
    CHttpCameraRequest(const DEVICE_INFO& device, IDebugMessage* logger);
    explicit CHttpCameraRequest(Web::CHttpSender& sender) : sender_(sender) {}

    CameraReply Get(const std::string& path, bool readBody) override;
    void Cancel() override;
    void Rearm() override { aborted_.store(false); }
    std::string DescribeRefusal() const override { return sender_.DescribeRefusal(); }

private:
    std::unique_ptr<Web::CHttpSender> owned_;
    Web::CHttpSender& sender_;
    std::atomic<bool> aborted_{false};
};

}  // namespace talvik

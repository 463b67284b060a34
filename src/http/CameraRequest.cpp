#include "http/CameraRequest.h"

#include <vector>

#include "ThreadCancel.h"
#include "http/HUtils.h"

namespace talvik {

bool GetCameraBody(ICameraRequest& camera, const std::string& path, std::string& body) {
    CameraReply reply = camera.Get(path, true);
    body.clear();
    if (!reply.Ok() || reply.body.empty()) return false;
    body.swap(reply.body);
    return true;
}

bool GetCameraOk(ICameraRequest& camera, const std::string& path) {
    return camera.Get(path, false).Ok();
}

CHttpCameraRequest::CHttpCameraRequest(const DEVICE_INFO& device, IDebugMessage* logger)
    : owned_(std::make_unique<Web::CHttpSender>(device)), sender_(*owned_) {
    sender_.SetLogger(logger);
}

CameraReply CHttpCameraRequest::Get(const std::string& path, bool readBody) {
    CameraReply reply;
    // The sender forgets a Cancel when a request starts; the flag keeps a
    // stop from being lost just before one.
    if (aborted_.load()) return reply;
    try {
        std::vector<uint8_t> body;
        const uint32_t code = HUtils::RequestGetRD(sender_, path, body, readBody).code;
        if (code == HUtils::kRequestSendFailed) return reply;
        reply.status = sender_.GetStatusCode();
        reply.body.assign(body.begin(), body.end());
    } catch (...) {
        RethrowThreadCancellation();
        // Out of memory: no answer.
        reply = CameraReply();
    }
    return reply;
}

void CHttpCameraRequest::Cancel() {
    aborted_.store(true);
    sender_.Cancel();
}

}  // namespace talvik

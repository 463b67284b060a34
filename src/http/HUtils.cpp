#include "http/HUtils.h"

#include "ThreadCancel.h"
#include "base/Debug.h"
#include "base/Text.h"

namespace talvik {
namespace HUtils {

namespace {
constexpr const char* kTag = "talvik::HUtils::RequestGetRD";

// The body, or nothing when the device did not finish it in time: a cut
// name=value list would read as a different answer.
bool ReadWholeBody(Web::CHttpSender& sender, std::vector<uint8_t>& body) {
    if (sender.ReadResponse(body) != 0 && sender.GetLastError() != Web::CHttpSender::kErrorTimeout)
        return true;
    body.clear();
    return false;
}
}  // namespace

Web::HttpRequest MakeGetRequest(const std::string& path) {
    Web::HttpRequest request;
    request.verb = "GET";
    request.path = path;
    request.secure = 0;
    request.authSelector = Web::kSelectBasic;
    request.flags = Web::kFlagNoEscapeQuery | Web::kFlagIgnoreCertErrors | Web::kFlagNoRedirects;
    return request;
}

CResultDef RequestGetRD(Web::CHttpSender& sender, const std::string& path,
                        std::vector<uint8_t>& body, bool readBody) {
    CResultDef result;
    body.clear();
    try {
        result.SetResultEx(kLevelInfo, kRequestOk, nullptr);
        const DEVICE_INFO& device = sender.GetDevice();
        const std::string deviceText = FormatString("device %s:%u", device.address.c_str(),
                                                    static_cast<unsigned>(device.port));
        const bool sent = sender.SendRequest(MakeGetRequest(path));
        const uint32_t status = sender.GetStatusCode();
        if (!sent || status == 0) {
            result.SetResultEx(kLevelNever, kRequestSendFailed,
                               "%s: Cannot send request \"%s\" to %s", kTag, path.c_str(),
                               deviceText.c_str());
        } else if (status >= 200 && status <= 299) {
            // success
        } else if (status == 401) {
            result.SetResultEx(
                kLevelError, kRequestUnauthorized,
                "%s: %s is unable to process \"%s\" request: credentials are invalid", kTag,
                deviceText.c_str(), path.c_str());
        } else if (status == 404) {
            result.SetResultEx(kLevelError, kRequestNotFound,
                               "%s: The \"%s\" URL was not found on %s", kTag, path.c_str(),
                               deviceText.c_str());
        } else {
            result.SetResultEx(kLevelError, kRequestBadStatus,
                               "%s: %s is unable to process \"%s\" request. HTTP status code is %u",
                               kTag, deviceText.c_str(), path.c_str(), status);
        }
        if (readBody && result.code == kRequestOk && !ReadWholeBody(sender, body)) {
            result.SetResultEx(kLevelWarning, kRequestNoBody,
                               "%s: Incorrect response for request \"%s\" from %s", kTag,
                               path.c_str(), deviceText.c_str());
        }
    } catch (...) {
        RethrowThreadCancellation();
        // Only allocation can throw here; the request counts as not sent.
        result.level = kLevelNever;
        result.code = kRequestSendFailed;
    }
    return result;
}

bool SendGet(Web::CHttpSender& sender, const std::string& path) {
    return sender.SendRequest(MakeGetRequest(path));
}

}  // namespace HUtils
}  // namespace talvik

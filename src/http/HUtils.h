// GET helpers for camera paths: one request through a sender, judged into a
// CResultDef with a numeric code and a ready-made message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/HttpSender.h"
#include "http/ResultDef.h"

namespace talvik {
namespace HUtils {

// Codes of RequestGetRD.
enum RequestCode : uint32_t {
    kRequestOk = 0,
    kRequestBadStatus = 8,
    kRequestNotFound = 9,
    kRequestUnauthorized = 10,
    kRequestSendFailed = 11,
    kRequestNoBody = 12,
};

// The request every helper sends: GET of path, flags 7 (raw query, any
// certificate, no redirects).
Web::HttpRequest MakeGetRequest(const std::string& path);

// GET of path; with readBody the body is read into body (emptied first).
// Code 0 on a 2xx status (and a non-empty body when asked for).
CResultDef RequestGetRD(Web::CHttpSender& sender, const std::string& path,
                        std::vector<uint8_t>& body, bool readBody);

// Sends a GET; the status is not judged and the body is not read.
bool SendGet(Web::CHttpSender& sender, const std::string& path);

}  // namespace HUtils
}  // namespace talvik

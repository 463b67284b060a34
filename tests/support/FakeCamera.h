// A camera's control paths as a table of replies, with the requests it saw
// and when: in process behind talvik::ICameraRequest (camera properties,
// digital I/O), or on a loopback HTTP port (channels).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http/CameraRequest.h"
#include "support/TestHttpServer.h"

namespace talvik_test {

class FakeCamera {
public:
    using Clock = std::chrono::steady_clock;

    void Reply(const std::string& path, const std::string& body, unsigned status = 200);
    // The answer to a path not in the table (at first 404, "no\r\n").
    void Otherwise(unsigned status, const std::string& body = "");
    // Runs before a request is answered (to cancel or block mid-read). Set
    // it before the camera is used.
    void OnRequest(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }
    // In process: the requests to paths starting with `prefix`, after the
    // first `after` of them, hang until their requester is cancelled.
    void HangAfter(const std::string& prefix, int after);
    int Hanging() const;

    // The paths asked for that start with `prefix`, and when.
    std::vector<std::string> Requests(const std::string& prefix = "") const;
    std::vector<Clock::time_point> TimesOf(const std::string& prefix) const;
    bool WaitFor(const std::string& prefix, size_t count, int limitMs = 20000) const;

    // A requester of its own (a cancel ends only its own requests).
    std::unique_ptr<talvik::ICameraRequest> Requester();
    // Serves the table on 127.0.0.1 from now on; the port.
    uint16_t Serve();

    // For the requesters: the answer to path, noted as a request. `cancels`
    // counts the requester's cancels (under the camera's lock); a hang ends
    // when it changes.
    talvik::CameraReply Answer(const std::string& path, const int* cancels);
    void Cancel(int& cancels);

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, talvik::CameraReply> replies_;
    talvik::CameraReply otherwise_{404, "no\r\n"};
    std::vector<std::pair<std::string, Clock::time_point>> seen_;
    std::function<void(const std::string&)> hook_;
    std::string hangPrefix_;
    int hangAfter_ = -1;
    int hanging_ = 0;
    std::unique_ptr<TestHttpServer> server_;
};

}  // namespace talvik_test

// The GET helpers' codes and messages against a loopback server.
#include "http/HUtils.h"

#include <gtest/gtest.h>

#include "base/Text.h"
#include "http/CameraRequest.h"
#include "support/TestHttpServer.h"

namespace {

using talvik::DEVICE_INFO;
using talvik::Web::CHttpSender;
using talvik_test::HttpExchange;
using talvik_test::HttpReply;
using talvik_test::TestHttpServer;
namespace HUtils = talvik::HUtils;

HttpReply Route(const HttpExchange& exchange) {
    HttpReply reply;
    const std::string& url = exchange.url;
    if (url == "/ok") {
        reply.body = "model=AV";
    } else if (url == "/empty") {
    } else if (url == "/nocontent") {
        reply.status = 204;
    } else if (url == "/created") {
        reply.status = 201;
        reply.body = "id=1";
    } else if (url == "/moved") {
        reply.status = 302;
        reply.headers = {{"Location", "/ok"}};
        reply.body = "elsewhere";
    } else if (url == "/error") {
        reply.status = 500;
        reply.body = "oops";
    } else {
        reply.status = 404;
    }
    return reply;
}

DEVICE_INFO Device(uint16_t port) {
    DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = port;
    device.userName = "admin";
    device.password = "secret";
    return device;
}

struct ResultCase {
    const char* name;
    const char* path;
    bool readBody;
    uint32_t level;
    uint32_t code;
    const char* message;  // %u is the port
    std::string body;
};

class RequestGetRDTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(RequestGetRDTest, CodeLevelAndMessage) {
    const ResultCase& c = GetParam();
    TestHttpServer server(TestHttpServer::Options(), &Route);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    std::vector<uint8_t> body{'s', 't', 'a', 'l', 'e'};
    talvik::CResultDef result = HUtils::RequestGetRD(sender, c.path, body, c.readBody);
    EXPECT_EQ(result.level, c.level);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, talvik::FormatString(c.message, unsigned{server.Port()}));
    EXPECT_EQ(std::string(body.begin(), body.end()), c.body);
    EXPECT_EQ(server.Exchanges().size(), 1u);  // redirects are not followed
}

#define TAG "talvik::HUtils::RequestGetRD: "

INSTANTIATE_TEST_SUITE_P(
    Statuses, RequestGetRDTest,
    ::testing::Values(
        ResultCase{"OkWithBody", "/ok", true, 3, 0, "", "model=AV"},
        ResultCase{"CreatedIsSuccess", "/created", true, 3, 0, "", "id=1"},
        ResultCase{"EmptyBodyAsked", "/empty", true, 2, 12,
                   TAG "Incorrect response for request \"/empty\" from device 127.0.0.1:%u", ""},
        ResultCase{"NoContentBodyAsked", "/nocontent", true, 2, 12,
                   TAG "Incorrect response for request \"/nocontent\" from device 127.0.0.1:%u",
                   ""},
        ResultCase{"NotFound", "/get?nothing", true, 1, 9,
                   TAG "The \"/get?nothing\" URL was not found on device 127.0.0.1:%u", ""},
        ResultCase{"RedirectNotFollowed", "/moved", true, 1, 8,
                   TAG "device 127.0.0.1:%u is unable to process \"/moved\" request. HTTP status "
                       "code is 302",
                   ""},
        ResultCase{"ServerError", "/error", false, 1, 8,
                   TAG "device 127.0.0.1:%u is unable to process \"/error\" request. HTTP status "
                       "code is 500",
                   ""}),
    [](const ::testing::TestParamInfo<ResultCase>& info) { return info.param.name; });

TEST(RequestGetRD, NothingListeningGivesSendFailure) {
    uint16_t port = 0;
    {
        talvik_test::RawTcpServer closed([](int, talvik_test::RawTcpServer&) {});
        ASSERT_TRUE(closed.Started());
        port = closed.Port();
    }
    CHttpSender sender(Device(port));
    std::vector<uint8_t> body;
    talvik::CResultDef result = HUtils::RequestGetRD(sender, "/get?auxin", body, true);
    EXPECT_EQ(result.level, 4u);
    EXPECT_EQ(result.code, 11u);
    EXPECT_EQ(result.message,
              TAG "Cannot send request \"/get?auxin\" to device 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(sender.GetStatusCode(), 0u);
}

// The camera request over a sender: an empty body is no body (and leaves no
// stale text), another 2xx than 200 is an answer with its body, SendGet
// ignores the status, a cancel holds until Rearm.
TEST(HttpCameraRequest, StatusBodyAndCancel) {
    TestHttpServer server(TestHttpServer::Options(), &Route);
    ASSERT_TRUE(server.Started());
    CHttpSender sender(Device(server.Port()));
    talvik::CHttpCameraRequest camera(sender);
    std::string text = "stale";
    EXPECT_FALSE(talvik::GetCameraBody(camera, "/empty", text));
    EXPECT_EQ(text, "");
    const talvik::CameraReply created = camera.Get("/created", true);
    EXPECT_EQ(created.status, 201u);
    EXPECT_EQ(created.body, "id=1");
    EXPECT_TRUE(HUtils::SendGet(sender, "/missing"));
    camera.Cancel();
    EXPECT_EQ(camera.Get("/created", true).status, 0u);
    camera.Rearm();
    EXPECT_TRUE(talvik::GetCameraOk(camera, "/created"));
}

}  // namespace

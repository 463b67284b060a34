// The sender on WinHTTP, under Wine, against camsim running beside it on
// loopback: TALVIK_SIM_BASIC and TALVIK_SIM_DIGEST hold the HTTP ports of a
// simulator asking for Basic and one asking for Digest (user admin, password
// secret), TALVIK_TLS_PORT that of an HTTPS server with a self-signed
// certificate, TALVIK_TLS_ALERT_PORT one that answers a plain request with a
// TLS alert. scripts/test starts them (WINDOWS=1).
#include <gtest/gtest.h>
#include <winsock2.h>

#include <cstdlib>

#include "../SenderTable.h"

namespace talvik {
namespace {

using talvik_http_test::Device;
using Web::CHttpSender;

uint16_t PortOf(const char* name) {
    const char* text = std::getenv(name);
    return text ? uint16_t(std::atoi(text)) : 0;
}

// A simulator control (no credentials needed under /sim/).
std::string Sim(uint16_t port, const std::string& path) {
    CHttpSender sender(Device(port, 5000, ":"));
    std::vector<uint8_t> body;
    HUtils::RequestGetRD(sender, path, body, true);
    return std::string(body.begin(), body.end());
}

// A loopback port nobody listens on.
uint16_t FreePort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(s);
    return ntohs(address.sin_port);
}

class WineSender : public ::testing::Test {
protected:
    void SetUp() override {
        if (basic_ == 0 || digest_ == 0 || tls_ == 0 || tlsAlert_ == 0)
            GTEST_SKIP() << "no simulator ports given";
        Sim(basic_, "/sim/requests?clear=1");
        Sim(digest_, "/sim/requests?clear=1");
        Sim(basic_, "/sim/silence?seconds=0");
    }
    const uint16_t basic_ = PortOf("TALVIK_SIM_BASIC");
    const uint16_t digest_ = PortOf("TALVIK_SIM_DIGEST");
    const uint16_t tls_ = PortOf("TALVIK_TLS_PORT");
    // The same, answering a plain request with a TLS alert.
    const uint16_t tlsAlert_ = PortOf("TALVIK_TLS_ALERT_PORT");
};

class WineSenderRequests : public WineSender,
                           public ::testing::WithParamInterface<talvik_http_test::SenderCase> {};

// What the camera saw: the simulator's log of camera requests.
TEST_P(WineSenderRequests, ResultsRequestsAndLog) {
    const talvik_http_test::SenderCase& c = GetParam();
    const uint16_t port = c.camera.rfind("win-basic", 0) == 0    ? basic_
                          : c.camera.rfind("win-digest", 0) == 0 ? digest_
                          : c.camera == "win-tls"                ? tls_
                          : c.camera == "win-tls-alert"          ? tlsAlert_
                                                                 : FreePort();
    const auto requests = [&] {
        return port == basic_ || port == digest_ ? Sim(port, "/sim/requests") : "";
    };
    EXPECT_EQ(talvik_http_test::RunSenderCase(c, port, nullptr, requests), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Camsim, WineSenderRequests,
                         ::testing::ValuesIn(talvik_http_test::SenderCases(true)),
                         [](const auto& info) { return info.param.name; });

TEST_F(WineSender, PictureReadInPiecesIsWhole) {
    CHttpSender sender(Device(basic_));
    ASSERT_TRUE(
        sender.SendRequest(HUtils::MakeGetRequest("/image?res=full&x0=0&y0=0&x1=1920&y1=1080")));
    ASSERT_EQ(sender.GetStatusCode(), 200u);
    const uint32_t length = sender.GetContentLength();
    ASSERT_GT(length, 2u * Web::IHttpTransfer::kMaxBodyPiece);
    std::vector<uint8_t> picture;
    while (sender.ReadData(picture, 1000, false) > 0) {
    }
    ASSERT_EQ(picture.size(), length);
    EXPECT_EQ(picture[0] << 8 | picture[1], 0xFFD8);
    EXPECT_EQ(picture[length - 2] << 8 | picture[length - 1], 0xFFD9);
}

}  // namespace
}  // namespace talvik

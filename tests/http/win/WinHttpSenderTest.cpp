// The sender on WinHTTP, under Wine, against camsim running beside it on
// loopback: TALVIK_SIM_BASIC and TALVIK_SIM_DIGEST hold the HTTP ports of a
// simulator asking for Basic and one asking for Digest (user admin, password
// secret), TALVIK_TLS_PORT that of an HTTPS server with a self-signed
// certificate. tests/win/run-wine-tests starts them.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "http/HUtils.h"
#include "http/HttpSender.h"

namespace talvik {
namespace {

using Web::CHttpSender;

uint16_t SimPort(const char* name) {
    const char* text = std::getenv(name);
    return text ? uint16_t(std::atoi(text)) : 0;
}

DEVICE_INFO Device(uint16_t port, const std::string& password = "secret") {
    DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = port;
    device.userName = "admin";
    device.password = password;
    device.timeoutMs = 5000;
    return device;
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A simulator control (no credentials needed under /sim/).
std::string Sim(uint16_t port, const std::string& path) {
    DEVICE_INFO device = Device(port);
    device.userName.clear();
    CHttpSender sender(device);
    std::vector<uint8_t> body;
    HUtils::RequestGetRD(sender, path, body, true);
    return Text(body);
}

uint64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - since)
                        .count());
}

class WineSender : public ::testing::Test {
protected:
    void SetUp() override {
        if (basic_ == 0 || digest_ == 0) GTEST_SKIP() << "no simulator ports given";
        Sim(basic_, "/sim/requests?clear=1");
        Sim(digest_, "/sim/requests?clear=1");
    }
    const uint16_t basic_ = SimPort("TALVIK_SIM_BASIC");
    const uint16_t digest_ = SimPort("TALVIK_SIM_DIGEST");
};

struct RequestCase {
    const char* name;
    bool digest;  // which simulator
    const char* password;
    const char* path;
    uint32_t code;
    uint32_t status;
    const char* body;
    const char* requests;  // the simulator's log of camera requests
};

class WineSenderRequests : public WineSender, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(WineSenderRequests, CodeStatusBodyAndSchemes) {
    const RequestCase& c = GetParam();
    const uint16_t port = c.digest ? digest_ : basic_;
    CHttpSender sender(Device(port, c.password));
    std::vector<uint8_t> body;
    const CResultDef result = HUtils::RequestGetRD(sender, c.path, body, true);
    EXPECT_EQ(result.code, c.code) << result.message;
    EXPECT_EQ(sender.GetStatusCode(), c.status);
    EXPECT_EQ(Text(body), c.body);
    EXPECT_EQ(Sim(port, "/sim/requests"), c.requests);
}

// Digest: Basic first, the challenge learned, then one exchange answered with
// the module's own Authorization header.
INSTANTIATE_TEST_SUITE_P(
    Camsim, WineSenderRequests,
    ::testing::Values(
        RequestCase{"Basic", false, "secret", "/get?model=releasename", 0, 200, "model=AV2155\r\n",
                    "GET /get?model=releasename basic\n"},
        // Refused on the scheme the request used: no repeat, sending failed.
        RequestCase{"BasicRefused", false, "wrong", "/get?model=releasename", 11, 401, "",
                    "GET /get?model=releasename basic\n"},
        RequestCase{"NotFound", false, "secret", "/nothing", 9, 404, "", "GET /nothing basic\n"},
        RequestCase{"Digest", true, "secret", "/get?model=releasename", 0, 200, "model=AV2155\r\n",
                    "GET /get?model=releasename basic\nGET /get?model=releasename digest\n"},
        RequestCase{"DigestRefused", true, "wrong", "/get?model=releasename", 10, 401, "",
                    "GET /get?model=releasename basic\nGET /get?model=releasename digest\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WineSender, DigestFromTheStartIsAnsweredWithOurOwnHeader) {
    CHttpSender sender(Device(digest_));
    Web::HttpRequest request = HUtils::MakeGetRequest("/get?fwversion");
    request.authSelector = Web::kSelectDigest;
    ASSERT_TRUE(sender.SendRequest(request));
    std::vector<uint8_t> body;
    sender.ReadResponse(body);
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    EXPECT_EQ(Text(body), "fwversion=65246\r\n");
    ASSERT_TRUE(sender.SendRequest(request));  // learned: one exchange
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    EXPECT_EQ(Sim(digest_, "/sim/requests"),
              "GET /get?fwversion none\nGET /get?fwversion digest\nGET /get?fwversion digest\n");
}

// A device addressed with TLS first that speaks plain HTTP: the failed
// handshake leads to the plain attempt, which is kept.
TEST_F(WineSender, TlsFirstFallsBackToPlainAndStaysThere) {
    const uint16_t saved = CHttpSender::GetTlsDefaultPort();
    CHttpSender::SetTlsDefaultPort(basic_);
    CHttpSender sender(Device(basic_));
    CHttpSender::SetTlsDefaultPort(saved);
    ASSERT_TRUE(sender.IsSecure());
    std::vector<uint8_t> body;
    for (int i = 0; i < 2; ++i) {
        const CResultDef result = HUtils::RequestGetRD(sender, "/get?fwversion", body, true);
        EXPECT_EQ(result.code, 0u) << result.message;
        EXPECT_FALSE(sender.IsSecure());
    }
    EXPECT_EQ(Text(body), "fwversion=65246\r\n");
    EXPECT_EQ(Sim(basic_, "/sim/requests"), "GET /get?fwversion basic\nGET /get?fwversion basic\n");
}

// A device on a plain port that answers only with TLS: tried again with TLS
// (its certificate waived by the request) and addressed so from then on.
TEST_F(WineSender, PlainFirstFallsBackToTlsAndStaysThere) {
    const uint16_t port = SimPort("TALVIK_TLS_PORT");
    ASSERT_NE(port, 0);
    CHttpSender sender(Device(port));
    ASSERT_FALSE(sender.IsSecure());
    std::vector<uint8_t> body;
    for (int i = 0; i < 2; ++i) {
        const CResultDef result = HUtils::RequestGetRD(sender, "/get?fwversion", body, true);
        EXPECT_EQ(result.code, 0u) << result.message << " / " << sender.DescribeLastError();
        EXPECT_TRUE(sender.IsSecure());
    }
    EXPECT_EQ(Text(body), "fwversion=tls\r\n");
}

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
    EXPECT_EQ(picture[0], 0xFF);
    EXPECT_EQ(picture[1], 0xD8);
    EXPECT_EQ(picture[length - 2], 0xFF);
    EXPECT_EQ(picture[length - 1], 0xD9);
}

TEST_F(WineSender, NothingListeningIsConnectionRefused) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &size), 0);
    closesocket(s);  // the port is free and nobody listens
    CHttpSender sender(Device(ntohs(address.sin_port)));
    std::vector<uint8_t> body;
    const CResultDef result = HUtils::RequestGetRD(sender, "/get?auxin", body, false);
    EXPECT_EQ(result.code, 11u);
    EXPECT_EQ(sender.GetLastError(), uint32_t(Web::kTransferCouldntConnect));
    EXPECT_EQ(sender.DescribeLastError(), "connection refused");
}

// Reads the stream until a read gives nothing; the camera falls silent
// meanwhile, and after a while another thread cancels. Returns the ms from
// the cancel to the end of the reading.
uint64_t ReadUntilCancelled(CHttpSender& sender, uint16_t port) {
    Sim(port, "/sim/silence?seconds=30");
    std::chrono::steady_clock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        cancelledAt = std::chrono::steady_clock::now();
        sender.Cancel();
    });
    std::vector<uint8_t> some;
    while (sender.ReadData(some, 4096, true) > 0) {
    }
    const auto ended = std::chrono::steady_clock::now();
    canceller.join();
    return uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(ended - cancelledAt).count());
}

// Cancel from another thread ends a read blocked on a silent camera at once,
// and the sender serves the next request straight away, although Wine's
// WinHTTP holds the silent read until its own time-out.
TEST_F(WineSender, CancelDuringASilentBodyReturnsAtOnce) {
    DEVICE_INFO device = Device(basic_);
    device.timeoutMs = 20000;
    CHttpSender sender(device);
    ASSERT_TRUE(sender.SendRequest(
        HUtils::MakeGetRequest("/mjpeg?res=half&x0=0&y0=0&x1=1920&y1=1080&fps=10")));
    ASSERT_EQ(sender.GetStatusCode(), 200u);
    // Far below the 20 s the device and WinHTTP would wait.
    EXPECT_LT(ReadUntilCancelled(sender, basic_), 2000u);
    EXPECT_EQ(sender.GetLastError(), uint32_t(CHttpSender::kErrorCancelled));

    Sim(basic_, "/sim/silence?seconds=0");
    std::vector<uint8_t> body;
    const CResultDef result = HUtils::RequestGetRD(sender, "/get?fwversion", body, true);
    EXPECT_EQ(result.code, 0u) << result.message;
    EXPECT_EQ(Text(body), "fwversion=65246\r\n");
}

// A channel stopping while its camera is silent: cancel, then the sender
// goes, neither held up by Wine's blocked read.
TEST_F(WineSender, DestroyedDuringASilentBodyReturnsAtOnce) {
    DEVICE_INFO device = Device(basic_);
    device.timeoutMs = 20000;
    auto sender = std::make_unique<CHttpSender>(device);
    ASSERT_TRUE(sender->SendRequest(
        HUtils::MakeGetRequest("/mjpeg?res=half&x0=0&y0=0&x1=1920&y1=1080&fps=10")));
    const uint64_t cancelMs = ReadUntilCancelled(*sender, basic_);
    const auto before = std::chrono::steady_clock::now();
    sender.reset();
    EXPECT_LT(cancelMs + ElapsedMs(before), 2000u);
    Sim(basic_, "/sim/silence?seconds=0");
}

}  // namespace
}  // namespace talvik

int main(int argc, char** argv) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}

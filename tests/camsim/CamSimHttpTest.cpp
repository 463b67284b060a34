// End to end: camsim's HTTP side as independent clients (curl, ffprobe and a
// plain socket) see it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "CamSimTestUtil.h"
#include "support/CamSim.h"
#include "support/TestFiles.h"

namespace talvik {
namespace test {
namespace {

std::string Curl(const std::string& options, const std::string& url, int* code) {
    int exitCode = 0;
    std::string out = RunCommand(
        "curl -s -S --max-time 20 -w '\\n%{http_code}' " + options + " " + ShellQuote(url), 30000,
        &exitCode);
    size_t last = out.rfind('\n');
    *code = last == std::string::npos ? 0 : atoi(out.c_str() + last + 1);
    return last == std::string::npos ? out : out.substr(0, last);
}

struct ControlCase {
    const char* name;
    std::vector<std::string> args;
    const char* path;
    const char* body;
    const char* before = "";  // a simulator control request sent first
};

std::ostream& operator<<(std::ostream& out, const ControlCase& c) {
    return out << c.name;
}

class ControlValues : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlValues, AnswerAsTheCameraDoes) {
    auto sim = StartCamSim(GetParam().args);
    ASSERT_TRUE(sim);
    if (*GetParam().before != '\0') {
        ASSERT_EQ(sim->Get(GetParam().before), "ok\n");
    }
    int code = 0;
    EXPECT_EQ(Curl("", sim->HttpUrl(GetParam().path), &code), GetParam().body);
    EXPECT_EQ(code, 200);
}

const std::vector<std::string> kFourSensors = {"--sensors",  "4",     "--model",       "AV8365DN",
                                               "--firmware", "65178", "--sensor-size", "1600x1200"};

INSTANTIATE_TEST_SUITE_P(
    CamSim, ControlValues,
    ::testing::Values(
        ControlCase{"Model", kFourSensors, "/get?model=releasename", "model=AV8365DN\r\n"},
        ControlCase{"FourChannels", kFourSensors, "/get?channelenable", "channelenable=15\r\n"},
        ControlCase{"OneChannel", {}, "/get?channelenable", "channelenable=1\r\n"},
        ControlCase{"SensorSize", kFourSensors, "/get?sensorwidth&sensorheight",
                    "sensorwidth=1600\r\nsensorheight=1200\r\n"},
        ControlCase{"Firmware", kFourSensors, "/get?fwversion", "fwversion=65178\r\n"},
        ControlCase{
            "CroppingAndFrequency", {}, "/get?cropping&freq", "cropping=off\r\nfreq=60\r\n"},
        ControlCase{
            "NumericIo", {"--io", "numeric"}, "/get?auxin&auxout", "auxin=0\r\nauxout=0\r\n"},
        ControlCase{
            "OnOffIo", {"--io", "onoff"}, "/get?auxin&auxout", "auxin=off\r\nauxout=off\r\n"},
        ControlCase{"NoIo", {"--io", "none"}, "/get?auxin", ""},
        ControlCase{"NumericInputSetOn",
                    {"--io", "numeric"},
                    "/get?auxin",
                    "auxin=1\r\n",
                    "/sim/auxin?value=on"},
        ControlCase{"NumericInputSet0",
                    {"--io", "numeric"},
                    "/get?auxin",
                    "auxin=0\r\n",
                    "/sim/auxin?value=0"},
        ControlCase{"OnOffInputSet1",
                    {"--io", "onoff"},
                    "/get?auxin",
                    "auxin=on\r\n",
                    "/sim/auxin?value=1"},
        ControlCase{"OnOffInputSetOff",
                    {"--io", "onoff"},
                    "/get?auxin",
                    "auxin=off\r\n",
                    "/sim/auxin?value=off"},
        ControlCase{"NoIoInputSet", {"--io", "none"}, "/get?auxin", "", "/sim/auxin?value=1"},
        ControlCase{"UnknownItem", {}, "/get?nosuchitem", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CamSimHttp, SetValuesAreReadBackPerSensor) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    int code = 0;
    EXPECT_EQ(Curl("", sim->HttpUrl("/set?cropping=on"), &code), "cropping=on\r\n");
    EXPECT_EQ(Curl("", sim->HttpUrl("/set2?freq=50"), &code), "freq=50\r\n");
    EXPECT_EQ(Curl("", sim->HttpUrl("/setreg?page=3&reg=100&val=24"), &code),
              "page=3&reg=100&val=24\r\n");
    EXPECT_EQ(Curl("", sim->HttpUrl("/get?cropping"), &code), "cropping=on\r\n");
    EXPECT_EQ(Curl("", sim->HttpUrl("/get2?freq"), &code), "freq=50\r\n");
    EXPECT_EQ(Curl("", sim->HttpUrl("/get3?freq"), &code), "freq=60\r\n");
    EXPECT_EQ(sim->Get("/sim/registers"), "page=3 reg=100 val=24\n");
}

TEST(CamSimHttp, AuxOutputWritesAreListedInOrder) {
    auto sim = StartCamSim({"--io", "onoff"});
    ASSERT_TRUE(sim);
    sim->Get("/set?auxout=on");
    sim->Get("/set?auxout=off");
    sim->Get("/set?auxout=on");
    EXPECT_EQ(sim->Get("/sim/auxout"), "on\noff\non\n");
    EXPECT_EQ(sim->Get("/get?auxout"), "auxout=on\r\n");
}

TEST(CamSimHttp, BadRequestsGetErrorsAndTheCameraLivesOn) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    const std::pair<const char*, long> cases[] = {
        {"/nothing", 404},
        {"/mjpeg5?res=full&fps=5", 404},
        {"/image0?res=full", 404},
        {"/get", 400},
        {"/set", 400},
        {"/set?novalue", 400},
        {"/setreg?page=3&reg=x&val=1", 400},
        {"/setreg?page=3&reg=21", 400},
        {"/image?res=quarter", 400},
        {"/image?x1=abc", 400},
        {"/mjpeg?fps=0", 400},
        {"/mjpeg?fps=1000", 400},
        {"/image?x0=100&x1=50", 400},
        {"/h264f?x1=8&y1=8", 400},
        {"/sim/nothing", 404},
        {"/sim/silence?seconds=soon", 400},
        {"/sim/fault?prefix=get&status=500", 400},
        {"/sim/auxin?value=maybe", 400},
    };
    for (const auto& c : cases) {
        long status = 0;
        sim->Get(c.first, &status);
        EXPECT_EQ(status, c.second) << c.first;
    }
    long status = 0;
    sim->Get(std::string(5000, '/'), &status);
    EXPECT_EQ(status, 414);
    EXPECT_EQ(sim->Get("/get?channelenable", &status), "channelenable=15\r\n");
}

TEST(CamSimHttp, RequestLogListsMethodPathAndSchemeInOrder) {
    auto sim = StartCamSim({"--auth", "basic", "--user", "u", "--password", "p"});
    ASSERT_TRUE(sim);
    int code = 0;
    Curl("", sim->HttpUrl("/get?channelenable"), &code);
    Curl("--basic -u u:p", sim->HttpUrl("/set?freq=50"), &code);
    Curl("--basic -u u:p", sim->HttpUrl("/image?res=half&x0=0&y0=0&x1=64&y1=64"), &code);
    EXPECT_EQ(sim->Requests(), (std::vector<std::string>{
                                   "GET /get?channelenable none",
                                   "GET /set?freq=50 basic",
                                   "GET /image?res=half&x0=0&y0=0&x1=64&y1=64 basic",
                               }));
    sim->ClearRequests();
    EXPECT_TRUE(sim->Requests().empty());
}

struct AuthCase {
    const char* name;
    const char* mode;
    const char* curl;
    int status;
    const char* lastScheme;
};

std::ostream& operator<<(std::ostream& out, const AuthCase& c) {
    return out << c.name;
}

class HttpAuth : public ::testing::TestWithParam<AuthCase> {};

TEST_P(HttpAuth, AcceptsOnlyTheRightCredentials) {
    auto sim = StartCamSim({"--auth", GetParam().mode, "--user", "admin", "--password", "s3cret"});
    ASSERT_TRUE(sim);
    int code = 0;
    std::string body = Curl(GetParam().curl, sim->HttpUrl("/get?sensorwidth"), &code);
    EXPECT_EQ(code, GetParam().status);
    if (code == 200) {
        EXPECT_EQ(body, "sensorwidth=1920\r\n");
    }
    auto log = sim->Requests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), std::string("GET /get?sensorwidth ") + GetParam().lastScheme);
}

INSTANTIATE_TEST_SUITE_P(
    CamSim, HttpAuth,
    ::testing::Values(
        AuthCase{"NoneNeeded", "none", "", 200, "none"},
        AuthCase{"BasicGood", "basic", "--basic -u admin:s3cret", 200, "basic"},
        AuthCase{"BasicWrongPassword", "basic", "--basic -u admin:nope", 401, "basic"},
        AuthCase{"BasicMissing", "basic", "", 401, "none"},
        AuthCase{"DigestGood", "digest", "--digest -u admin:s3cret", 200, "digest"},
        AuthCase{"DigestWrongUser", "digest", "--digest -u root:s3cret", 401, "digest"},
        AuthCase{"DigestRefusesBasic", "digest", "--basic -u admin:s3cret", 401, "basic"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CamSimHttp, FaultRulesAnswerWithTheChosenStatus) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    struct Case {
        const char* rule;
        const char* path;
        long status;
        const char* header;
    };
    const Case cases[] = {
        {"prefix=/get&status=500", "/get?freq", 500, ""},
        {"prefix=/image&status=404", "/image?x1=64&y1=64", 404, ""},
        {"prefix=/get&status=401", "/get?freq", 401, "WWW-Authenticate: Basic realm=\"camsim\""},
        {"prefix=/get&status=302&location=/elsewhere", "/get?freq", 302, "Location: /elsewhere"},
        {"prefix=/get&delay_ms=200", "/get?freq", 200, ""},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(sim->Get(std::string("/sim/fault?") + c.rule + "&count=1"), "ok\n");
        int exitCode = 0;
        std::string head = RunCommand(
            "curl -s -S -D - -o /dev/null --max-time 20 " + ShellQuote(sim->HttpUrl(c.path)), 30000,
            &exitCode);
        EXPECT_EQ(head.substr(0, 12), "HTTP/1.1 " + std::to_string(c.status)) << c.rule;
        EXPECT_NE(head.find(c.header), std::string::npos) << c.rule << "\n" << head;
        // count=1: the next request is answered normally again.
        long status = 0;
        sim->Get(c.path, &status);
        EXPECT_EQ(status, 200) << c.rule;
    }
}

TEST(CamSimHttp, ImageHonoursWindowResolutionAndQuality) {
    auto sim = StartCamSim({"--sensors", "4", "--sensor-size", "1280x960"});
    ASSERT_TRUE(sim);
    struct Case {
        const char* path;
        unsigned width, height;
        const char* comment;
    };
    const Case cases[] = {
        {"/image?res=full&x0=0&y0=0&x1=320&y1=240&quality=10", 320, 240, "camsim sensor=1 frame=1"},
        {"/image?res=half&x0=0&y0=0&x1=1280&y1=960", 640, 480, "camsim sensor=1 frame=2"},
        {"/image3?res=full&x0=0&y0=0&x1=160&y1=120", 160, 120, "camsim sensor=3 frame=1"},
        {"/image4?res=full&x0=0&y0=0&x1=5000&y1=5000", 1280, 960, "camsim sensor=4 frame=1"},
    };
    for (const Case& c : cases) {
        long status = 0;
        std::string jpeg = sim->Get(c.path, &status);
        EXPECT_EQ(status, 200) << c.path;
        unsigned w = 0, h = 0;
        EXPECT_TRUE(JpegSize(jpeg, &w, &h)) << c.path;
        EXPECT_EQ(w, c.width) << c.path;
        EXPECT_EQ(h, c.height) << c.path;
        EXPECT_EQ(JpegComment(jpeg), c.comment);
    }
    size_t low = sim->Get("/image?x1=320&y1=240&quality=1").size();
    size_t high = sim->Get("/image?x1=320&y1=240&quality=20").size();
    EXPECT_LT(low * 2, high);
}

TEST(CamSimHttp, KeyFrameStartsWithParameterSetsAndDecodes) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    long status = 0;
    std::string au = sim->Get("/h264f?res=half&x0=0&y0=0&x1=640&y1=480&qp=30&Iframe=1", &status);
    ASSERT_EQ(status, 200);
    ASSERT_GT(au.size(), 20u);
    EXPECT_EQ(au.substr(0, 5), std::string("\0\0\0\1\x67", 5));
    size_t pps = au.find(std::string("\0\0\0\1", 4), 4);
    ASSERT_NE(pps, std::string::npos);
    EXPECT_EQ(au[pps + 4] & 0x1f, 8);
    size_t idr = au.find(std::string("\0\0\0\1", 4), pps + 4);
    ASSERT_NE(idr, std::string::npos);
    EXPECT_EQ(au[idr + 4] & 0x1f, 5);
    char path[] = "/tmp/camsim-keyframe-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, au.data(), au.size()), static_cast<ssize_t>(au.size()));
    close(fd);
    int exitCode = 0;
    auto frames = ProbeFrames(path, "-f h264", 1, &exitCode);
    unlink(path);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].width, 320u);
    EXPECT_EQ(frames[0].height, 240u);
}

TEST(CamSimHttp, MjpegFramesAreNumberedWithoutGapsPerSensor) {
    auto sim = StartCamSim({"--sensors", "4"});
    ASSERT_TRUE(sim);
    std::vector<std::string> got[4];
    std::vector<std::thread> readers;
    for (unsigned s = 0; s < 4; ++s) {
        readers.emplace_back([&, s] {
            std::string path =
                "/mjpeg" + std::to_string(s + 1) +
                "?res=full&x0=0&y0=0&x1=160&y1=120&quality=5&doublescan=0&fps=20&ssn=1";
            got[s] = ReadMjpegComments(sim->HttpPort(), path, 12, 30000);
        });
    }
    for (auto& t : readers)
        t.join();
    for (unsigned s = 0; s < 4; ++s)
        EXPECT_EQ(got[s], ExpectedComments(s + 1, 1, 12));
}

TEST(CamSimHttp, FfprobeDecodesTheMjpegStream) {
    auto sim = StartCamSim({"--auth", "basic", "--user", "u", "--password", "p"});
    ASSERT_TRUE(sim);
    int exitCode = 0;
    std::string output;
    std::string url =
        "http://u:p@127.0.0.1:" + std::to_string(sim->HttpPort()) +
        "/mjpeg?res=half&x0=0&y0=0&x1=640&y1=480&quality=12&doublescan=0&fps=10&ssn=1";
    auto frames = ProbeFrames(url, "-f mpjpeg", 5, &exitCode, &output);
    ASSERT_EQ(frames.size(), 5u) << output;
    for (const auto& f : frames) {
        EXPECT_EQ(f.width, 320u);
        EXPECT_EQ(f.height, 240u);
    }
}

TEST(CamSimHttp, SilencePausesTheStreamWithoutSkippingFrames) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    std::vector<std::string> got;
    std::thread reader(
        [&] { got = ReadMjpegComments(sim->HttpPort(), "/mjpeg?x1=64&y1=64&fps=10", 15, 30000); });
    // Wait for the stream, then silence it while it runs.
    WaitUntil([&] { return sim->StreamStat(1, "frames") >= 3; });
    sim->Get("/sim/silence?seconds=1");
    reader.join();
    EXPECT_EQ(got, ExpectedComments(1, 1, 15));
}

TEST(CamSimHttp, VanishedClientIsCleanedUp) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(sim->HttpPort());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    std::string request = "GET /mjpeg?x1=320&y1=240&fps=25 HTTP/1.0\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buf[4096];
    ASSERT_GT(read(fd, buf, sizeof(buf)), 0);
    linger hard{1, 0};  // reset instead of an orderly close
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(fd);
    EXPECT_TRUE(WaitUntil([&] { return sim->StreamStat(1, "active") == 0; }));
    EXPECT_EQ(sim->Get("/get?channelenable"), "channelenable=1\r\n");
}

TEST(CamSimHttp, RebootRefusesConnectionsThenComesBack) {
    auto sim = StartCamSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Get("/sim/reboot?seconds=1.5"), "ok\n");
    long status = 200;
    const auto poll = [&](long wanted) {
        sim->Get("/get?freq", &status, 2000);
        return status == wanted;
    };
    EXPECT_TRUE(WaitUntil([&] { return poll(0); })) << "never went down";
    EXPECT_TRUE(WaitUntil([&] { return poll(200); })) << "never came back";
    int exitCode = 0;
    auto frames = ProbeFrames(sim->RtspUrl("/h264.sdp?x1=160&y1=120&fps=10"), "-rtsp_transport tcp",
                              3, &exitCode);
    EXPECT_EQ(frames.size(), 3u);
}

}  // namespace
}  // namespace test
}  // namespace talvik

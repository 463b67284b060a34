// Every seed of the fuzz corpora of the HTTP parsers, the reply-text reader and
// the settings file through its parser: what came out
// must match the summary kept in fuzz/expected/<target>/<seed>.txt.
// TALVIK_WRITE_EXPECTED=1 writes the summaries instead (review the diff).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MediaRig.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "media/HttpAuth.h"
#include "http/JpegAssembler.h"
#include "media/SpsReader.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using talvik_http_test::Bytes;
const std::string kFuzz = std::string(TALVIK_SOURCE_DIR) + "/fuzz/";

// The JPEG assembler fed in `pieces` of the payload (byte 0 is the fuzzer's).
std::string AssembleJpeg(const Bytes& in, const std::vector<size_t>& cuts) {
    std::ostringstream out;
    size_t searchFrom = 1;
    CJpegAssembler assembler(
        [&](const uint8_t* d, size_t n, uint32_t w, uint32_t h) {
            const auto at = std::search(in.begin() + searchFrom, in.end(), d, d + n);
            searchFrom = at - in.begin() + (at == in.end() ? 0 : 1);
            out << "image at " << (at - in.begin()) << " size " << n << " " << w << "x" << h
                << "\n";
        },
        [&] { out << "overflow\n"; });
    size_t from = 1;
    for (size_t cut : cuts) {
        assembler.Feed(in.data() + from, cut - from);
        from = cut;
    }
    assembler.Feed(in.data() + from, in.size() - from);
    return out.str();
}

// The same pictures however the stream is cut: once anywhere, or into bytes.
std::string JpegParser(const Bytes& in) {
    const std::string whole = AssembleJpeg(in, {});
    std::vector<size_t> bytes;
    for (size_t i = 2; i < in.size(); ++i)
        bytes.push_back(i);
    EXPECT_EQ(AssembleJpeg(in, bytes), whole) << "fed byte by byte";
    for (size_t cut = 1; cut <= in.size(); ++cut)
        if (AssembleJpeg(in, {cut}) != whole) return "cut at " + std::to_string(cut) + " differs";
    return whole;
}

// As the fuzz target: byte 0 picks the parser (bit 7: H.264) and the chunk size.
std::string HttpMediaParser(const Bytes& in) {
    talvik_http_test::Rig rig;
    CHttpMediaParser& parser = (in[0] & 0x80) ? static_cast<CHttpMediaParser&>(rig.h264) : rig.jpeg;
    const size_t step = 1 + (in[0] & 0x7F) * 8;
    for (size_t pos = 1; pos < in.size(); pos += step) {
        Bytes chunk(in.begin() + pos, in.begin() + std::min(in.size(), pos + step));
        parser.ParseData(chunk);
    }
    std::ostringstream out;
    for (const talvik_test::FrameRecord& f : rig.host.Frames()) {
        // The longest start of the frame found in the input, then what was added.
        size_t own = f.bytes.size();
        auto at = in.end();
        for (; own > 0; --own)
            if ((at = std::search(in.begin(), in.end(), f.bytes.begin(), f.bytes.begin() + own)) !=
                in.end())
                break;
        out << "frame " << std::string(reinterpret_cast<const char*>(&f.fourcc), 4) << " asked "
            << f.requestedSize << " size " << f.dataSize << " input at " << (at - in.begin())
            << " for " << own << " then";
        for (size_t i = own; i < f.bytes.size(); ++i)
            out << FormatString(" %02x", f.bytes[i]);
        out << "\n " << f.width << "x" << f.height << " class " << f.resolutionClass << " "
            << f.streamName << (f.stamped ? " stamped" : "") << "\n calls";
        for (const std::string& call : f.calls)
            out << " " << call;
        out << "\n";
    }
    out << "created " << rig.host.Created() << " released " << rig.host.Released() << "\n";
    for (const talvik_test::LogLine& line : rig.driver.log.Lines())
        out << "log " << line.level << " " << line.text << "\n";
    return out.str();
}

// Header values separated by LF; the Digest answer for the published example's
// user, password, URI and client nonce.
std::string WwwAuthenticate(const Bytes& in) {
    std::vector<std::string> values(1);
    for (uint8_t c : in)
        if (c == '\n')
            values.emplace_back();
        else
            values.back().push_back(static_cast<char>(c));
    Web::DigestChallenge d;
    std::ostringstream out;
    out << "scheme " << Web::ParseAuthenticate(values, &d) << "\n"
        << (d.valid ? "valid" : "invalid") << " realm=" << d.realm << " nonce=" << d.nonce
        << " qop=" << d.qop << " opaque=" << d.opaque << " algorithm=" << d.algorithm
        << (d.stale ? " stale" : "") << "\n";
    if (d.valid)
        out << Web::BuildDigestAuthorization(d, "Mufasa", "Circle Of Life", "GET",
                                             "/dir/index.html", "", 1, "0a4f113b")
            << "\n";
    return out.str();
}

std::string SpsReader(const Bytes& in) {
    uint32_t width = 1;
    uint32_t height = 1;
    const bool ok = DecodeSpsSize(in.data(), in.size(), width, height);
    return (ok ? "" : "no size ") + std::to_string(width) + "x" + std::to_string(height) + "\n";
}

// Text, name, assignment and delimiters, separated by NUL.
std::string ParamValue(const Bytes& in) {
    std::vector<std::string> parts(1);
    for (uint8_t c : in)
        if (c == 0 && parts.size() < 4)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(c));
    parts.resize(4);
    return "\"" + GetParamValue(parts[0], parts[1], parts[2], parts[3]) + "\"\n";
}

// A settings file as the driver of 10.0.0.5:80 reads it.
std::string SettingsReader(const Bytes& in) {
    CXMLParser parser;
    if (!parser.LoadFromBuffer(in.data(), in.size())) return "unreadable\n";
    DEVICE_INFO device;
    device.address = "10.0.0.5";
    device.port = 80;
    const DeviceSettings s = ReadDeviceSettings(parser, device);
    return FormatString("light=%u log=%u rtp=%u block=%u mode=%u min=%u max=%u\n",
                        s.IndoorLightFrequency, s.LogRtpSequence, s.RTPMode, s.RTPBlockSize,
                        s.BitrateMode, s.BitrateMin, s.BitrateMax);
}

struct Target {
    const char* name;
    std::string (*summary)(const Bytes&);
};

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EverySeedGivesItsSummary) {
    const Target& t = GetParam();
    const std::string corpus = kFuzz + "corpus/" + t.name + "/";
    const std::string expectedDir = kFuzz + "expected/" + t.name + "/";
    std::vector<std::string> seeds;
    if (DIR* dir = opendir(corpus.c_str())) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') seeds.push_back(e->d_name);
        closedir(dir);
    }
    ASSERT_GE(seeds.size(), 3u) << corpus;
    const bool write = std::getenv("TALVIK_WRITE_EXPECTED") != nullptr;
    for (const std::string& seed : seeds) {
        const std::string text = talvik::test::ReadFile(corpus + seed);
        const std::string summary = t.summary(Bytes(text.begin(), text.end()));
        if (write)
            std::ofstream(expectedDir + seed + ".txt", std::ios::binary) << summary;
        else
            EXPECT_EQ(summary, talvik::test::ReadFile(expectedDir + seed + ".txt")) << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay,
                         ::testing::Values(Target{"jpeg_parser", &JpegParser},
                                           Target{"http_media_parser", &HttpMediaParser},
                                           Target{"www_authenticate", &WwwAuthenticate},
                                           Target{"sps_reader", &SpsReader},
                                           Target{"param_value", &ParamValue},
                                           Target{"settings_reader", &SettingsReader}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace talvik

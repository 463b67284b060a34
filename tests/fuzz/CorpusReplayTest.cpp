// Every seed of fuzz/corpus/<target>/, read the way its fuzz target reads it,
// against the summaries committed in fuzz/corpus/<target>.expected. After a
// deliberate change of behaviour TALVIK_WRITE_EXPECTED=1 rewrites them (review
// the diff).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Settings.h"
#include "base/Text.h"
#include "http/JpegAssembler.h"
#include "http/MediaRig.h"
#include "media/HttpAuth.h"
#include "media/SpsReader.h"
#include "rtsp/H264Depacketizer.h"
#include "rtsp/RTCPPackets.h"
#include "rtsp/RTPMediaParser.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTSPClientUser.h"
#include "rtsp/RTSPResponseParser.h"
#include "rtsp/RTSPStreamParser.h"
#include "support/FakeHost.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

using Bytes = std::vector<uint8_t>;

// Short byte runs in full; longer ones by size, head and FNV-1a hash.
std::string Hex(const uint8_t* data, size_t size) {
    std::string out;
    char b[16];
    for (size_t i = 0; i < std::min<size_t>(size, 48); ++i) {
        std::snprintf(b, sizeof b, "%02x", data[i]);
        out += b;
    }
    if (size > 48) {
        uint32_t h = 2166136261u;
        for (size_t i = 0; i < size; ++i)
            h = (h ^ data[i]) * 16777619u;
        std::snprintf(b, sizeof b, "..#%08x", h);
        out = std::to_string(size) + ":" + out + b;
    }
    return out;
}
std::string Hex(const Bytes& b) {
    return Hex(b.data(), b.size());
}

// What reached the host, what was released, and what was logged.
void HostFrames(std::ostream& s, const talvik_test::FakeHost& host, talvik_test::FakeDriver& d) {
    for (const talvik_test::FrameRecord& f : host.Frames()) {
        s << "host " << std::string(reinterpret_cast<const char*>(&f.fourcc), 4) << " " << f.width
          << "x" << f.height << " class=" << f.resolutionClass << " asked=" << f.requestedSize
          << " name=" << f.streamName << (f.stamped ? " stamped " : " ") << Hex(f.bytes);
        for (const std::string& call : f.calls)
            s << " " << call;
        s << "\n";
    }
    s << "released " << host.Released() << " of " << host.Created() << "\n";
    for (const talvik_test::LogLine& line : d.log.Lines())
        s << "log " << line.level << " " << line.text << "\n";
}

std::string RtpPacket(const Bytes& in) {
    CRTPPacket p;
    const Bytes good = {0x91, 0xE1, 0, 9, 0, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0x65};
    p.Parse(good.data(), good.size());  // a failed parse must leave nothing of this
    std::ostringstream s;
    s << "ok=" << p.Parse(in.data(), in.size()) << " m=" << int(p.marker)
      << " pt=" << int(p.payloadType) << " seq=" << p.sequenceNumber << " ts=" << p.timestamp
      << " ssrc=" << Hex(reinterpret_cast<const uint8_t*>(&p.ssrc), 4)
      << " csrc=" << int(p.csrcCount) << " ext=" << p.extensionLength
      << " payload=" << p.payloadLength << ":" << Hex(p.payload) << "\n";
    return s.str();
}

std::string RtcpCompound(const Bytes& in) {
    std::ostringstream s;
    const size_t n = rtcp::WalkCompound(in.data(), in.size(), [&](const rtcp::PacketView& p) {
        s << "packet " << int(p.type) << "/" << p.size << " at " << (p.data - in.data());
        rtcp::SenderReportInfo sr;
        if (rtcp::ParseSenderReport(p, sr)) {
            const rtcp::ReceiverReportFields f{sr.versionBits, {}, sr.ssrc, 0, sr.lastSr, 0};
            s << " sr v=" << int(sr.versionBits) << " ssrc=" << Hex(sr.ssrc.data(), 4)
              << " lsr=" << Hex(sr.lastSr.data(), 4)
              << " rr=" << Hex(rtcp::BuildReceiverReport(f).data(), rtcp::kReceiverReportSize);
        }
        s << "\n";
    });
    s << "walked " << n << "\n";
    return s.str();
}

void Media(std::ostream& s, const SDPDescription& d) {
    for (size_t i = 0; i < d.media.size(); ++i) {
        const RTSPMediaInfo& m = d.media[i];
        if (m.IsEmpty() && m.port == 0 && m.address.empty()) continue;
        s << "media" << i << " port=" << m.port << " profile=" << m.profile
          << " address=" << m.address << " control=" << m.control << " pt=" << int(m.payloadType)
          << " encoding=" << m.encoding << " fmtp=" << m.fmtp << "\n";
    }
    const AACStreamParams& a = d.aac;
    s << "audio codec=" << d.audio.codec << " rate=" << d.audio.clockRate
      << " bitrate=" << d.audio.bitrate << " channels=" << int(d.audio.channels)
      << " aac=" << a.streamType << "/" << a.profileLevelId << "/" << a.mode << "/" << Hex(a.config)
      << "/" << a.sizeLength << "," << a.indexLength << "," << a.indexDeltaLength << ","
      << a.ctsDeltaLength << "," << a.dtsDeltaLength << "\n";
    s << "server ports " << d.serverRtpPort << "-" << d.serverRtcpPort << "\n";
    for (const H264ParameterSetEntry& e : d.parameterSets)
        s << "sets pt=" << e.payloadType << " sps=" << Hex(e.sps) << " pps=" << Hex(e.pps) << "\n";
}

std::string Sdp(const Bytes& in) {
    CSDPResponseParser parser;
    std::ostringstream s;
    s << "ok=" << parser.ParseDescription(std::string(in.begin(), in.end())) << "\n";
    Media(s, parser.GetDescription());
    return s.str();
}

// As in the client: an earlier answer gave a 45 s time-out, DESCRIBE an empty
// video slot and an audio slot on port 7000. Byte 0 picks the method.
std::string RtspResponse(const Bytes& in) {
    if (in.empty()) return "empty\n";
    CRTSPResponseParser parser;
    RTSPSessionInfo& info = parser.GetSessionInfo();
    info.sessionTimeout = 45;
    info.media[kVideoSlot].address = "0.0.0.0";
    info.media[kAudioSlot].port = 7000;
    std::ostringstream s;
    s << "ok="
      << parser.ParseResponse(static_cast<RTSPMethod>(in[0] % 6 + 1),
                              std::string(in.begin() + 1, in.end()))
      << " status=" << info.version << " " << info.statusCode << " cseq=" << info.cseq
      << " type=" << info.contentType << " length=" << info.contentLength << "\nbase=["
      << info.contentBase << "] session=[" << info.sessionId << "] timeout=" << info.sessionTimeout
      << " auth=" << int(info.authScheme) << " realm=[" << info.realm << "] nonce=[" << info.nonce
      << "] channel=" << int(info.interleavedChannel) << " public=[" << info.publicMethods << "]\n";
    Media(s, info);
    // A SETUP answer that follows adds to what was read, and nothing else.
    parser.ParseResponse(RTSPMethod::SETUP, "RTSP/1.0 200 OK\r\nCSeq: 9\r\nSession: s\r\n\r\n");
    s << "then setup: base=[" << info.contentBase << "] control=[" << info.media[0].control
      << "] sets=" << info.parameterSets.size() << " timeout=" << info.sessionTimeout << "\n";
    return s.str();
}

// Whatever the user does with a packet, even throwing, the stream goes on.
class ThrowingUser : public IRTSPClientUser {
public:
    bool OnRTSPSessionReady(RTSPSessionInfo*) override { return true; }
    void OnInterleavedPacket(CRTPPacket* p) override {
        s << "packet seq=" << p->sequenceNumber << " " << Hex(p->payload) << "\n";
        throw std::runtime_error("user");
    }
    void OnRTSPClientStopped() override {}
    std::ostringstream s;
};

// Byte 0 is the chunk size (0: whole), channels 0 and 2 are ours.
std::string Interleaved(const Bytes& in) {
    if (in.empty()) return "empty\n";
    ThrowingUser user;
    CRTSPStreamParser parser(&user, 0, 2);
    const size_t chunk = in[0] == 0 ? in.size() : in[0];
    for (size_t pos = 1; pos < in.size(); pos += chunk)
        parser.Feed(in.data() + pos, std::min(chunk, in.size() - pos));
    user.s << "midframe=" << parser.MidFrame() << "\n";
    return user.s.str();
}

class Client : public IMediaParserClient {
public:
    Client(talvik_test::FakeHost& host, std::ostream& s) : host_(host), s_(s) {}
    bool OnMediaFrame(IHostFrame* frame) override { return host_.OnFrame(frame); }
    std::pair<uint32_t, uint32_t> GetDefaultResolution() override { return {640, 360}; }
    std::string GetStreamName() override { return "RecStream"; }
    void ConvertTimestamp(uint32_t rtp, talvik::HostSystemTime* out) override {
        s_ << "time " << rtp << "\n";
        *out = talvik::HostSystemTime{2026, 12, 0, 6, 0, 0, 7, 0};
    }

private:
    talvik_test::FakeHost& host_;
    std::ostream& s_;
};

// Records of [flags, length (2, big-endian), payload]; flags bit 0 is the
// marker, bit 1 skips a sequence number, bits 2-3 add to payload type 96. The
// packets go through the bare depacketiser (frames, sequence errors,
// overflows) and through the media parser into host frames.
std::string H264Packets(const Bytes& in) {
    std::ostringstream s;
    CH264Depacketizer depacketizer(
        {[&](uint16_t a, uint16_t b) { s << "sequence error " << a << " " << b << "\n"; },
         [&] { s << "overflow\n"; },
         {}});
    const std::vector<H264ParameterSetEntry> sets = {
        {96, {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x3d, 0xa1}, {0x68, 0xce, 0x3c, 0x80}},
        {97, {}, {0x68, 0xce, 0x3c, 0x80}}};
    depacketizer.SetParameterSets(sets);
    depacketizer.SetDefaultResolution(640, 360);
    talvik_test::FakeHost host;
    talvik_test::FakeDriver driver;
    driver.device.address = "10.1.2.3";
    driver.device.port = 8080;
    driver.allocator = &host;
    Client client(host, s);
    CH264RTPMediaParser parser(&driver, false);
    parser.SetClient(&client);
    parser.SetParameterSets(sets);
    CRTPPacket packet;
    for (size_t pos = 0; in.size() - pos >= 3;) {
        const uint8_t flags = in[pos];
        const size_t len =
            std::min<size_t>(size_t(in[pos + 1]) << 8 | in[pos + 2], in.size() - pos - 3);
        pos += 3;
        packet.sequenceNumber = uint16_t(packet.sequenceNumber + ((flags & 2) ? 2 : 1));
        packet.marker = flags & 1;
        packet.payloadType = uint8_t(96 + ((flags >> 2) & 3));
        packet.timestamp = 3000u * packet.sequenceNumber;
        packet.payload.assign(in.begin() + long(pos), in.begin() + long(pos + len));
        packet.payloadLength = uint32_t(len);
        pos += len;
        if (depacketizer.Process(packet) == CH264Depacketizer::Result::kFrameReady) {
            s << "frame key=" << depacketizer.FrameIsKey() << " " << depacketizer.Width() << "x"
              << depacketizer.Height() << " " << Hex(depacketizer.Frame()) << "\n";
        }
        parser.ProcessPacket(packet);
    }
    s << "needkey=" << depacketizer.NeedKeyFrame() << parser.NeedKeyFrame() << "\n";
    HostFrames(s, host, driver);
    return s.str();
}

// The JPEG assembler fed the payload (byte 0 is the fuzzer's) cut at `cuts`.
std::string AssembleJpeg(const Bytes& in, const std::vector<size_t>& cuts) {
    std::ostringstream out;
    CJpegAssembler assembler(
        [&](const uint8_t* d, size_t n, uint32_t w, uint32_t h) {
            out << "image " << Hex(d, n) << " " << w << "x" << h << "\n";
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

// Byte 0 picks the parser (bit 7: H.264) and the chunk size.
std::string HttpMediaParser(const Bytes& in) {
    talvik_http_test::Rig rig;
    CHttpMediaParser& parser = (in[0] & 0x80) ? static_cast<CHttpMediaParser&>(rig.h264) : rig.jpeg;
    const size_t step = 1 + (in[0] & 0x7F) * 8;
    for (size_t pos = 1; pos < in.size(); pos += step) {
        Bytes chunk(in.begin() + long(pos), in.begin() + long(std::min(in.size(), pos + step)));
        parser.ParseData(chunk);
    }
    std::ostringstream s;
    HostFrames(s, rig.host, rig.driver);
    return s.str();
}

// Header values separated by LF; the Digest answer for the published example's
// user, password, URI and client nonce (RFC 2617 3.5).
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
    uint32_t width = 1, height = 1;
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
    std::string (*summarise)(const Bytes&);
};

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EverySeedGivesItsSummary) {
    const std::string corpus = std::string(TALVIK_SOURCE_DIR "/fuzz/corpus/") + GetParam().name;
    std::vector<std::string> seeds;
    for (const auto& e : std::filesystem::directory_iterator(corpus))
        seeds.push_back(e.path().filename().string());
    std::sort(seeds.begin(), seeds.end());
    ASSERT_GE(seeds.size(), 2u) << corpus;
    std::string summary;
    for (const std::string& seed : seeds) {
        const std::string bytes = talvik::test::ReadFile(corpus + "/" + seed);
        summary += "== " + seed + "\n" + GetParam().summarise(Bytes(bytes.begin(), bytes.end()));
    }
    if (getenv("TALVIK_WRITE_EXPECTED")) std::ofstream(corpus + ".expected") << summary;
    EXPECT_EQ(talvik::test::ReadFile(corpus + ".expected"), summary);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, CorpusReplay,
    ::testing::Values(Target{"rtp_packet", RtpPacket}, Target{"rtcp_compound", RtcpCompound},
                      Target{"sdp", Sdp}, Target{"rtsp_response", RtspResponse},
                      Target{"interleaved", Interleaved}, Target{"h264_depacketizer", H264Packets},
                      Target{"jpeg_parser", JpegParser},
                      Target{"http_media_parser", HttpMediaParser},
                      Target{"www_authenticate", WwwAuthenticate}, Target{"sps_reader", SpsReader},
                      Target{"param_value", ParamValue}, Target{"settings_reader", SettingsReader}),
    [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace talvik

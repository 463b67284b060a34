// RTP packet sequences of H.264 video. Records of [flags, length (2,
// big-endian), payload]; flags bit 0 is the marker, bit 1 skips a sequence
// number, bits 2-3 add to payload type 96 (97 has a PPS but no SPS, as some
// session descriptions give). The packets go through the bare depacketiser
// (frames, sequence errors, overflows) and through the media parser into host
// frames.
#include "FuzzTarget.h"
#include "rtsp/H264Depacketizer.h"
#include "rtsp/RTPMediaParser.h"

namespace {

// The host the media parser delivers to; timestamps are logged with the rest.
struct Client : IMediaParserClient {
    bool OnMediaFrame(IHostFrame* frame) override { return host.OnFrame(frame); }
    std::pair<uint32_t, uint32_t> GetDefaultResolution() override { return {640, 360}; }
    std::string GetStreamName() override { return "RecStream"; }
    void ConvertTimestamp(uint32_t rtp, HostSystemTime* out) override {
        s << "time " << rtp << "\n";
        *out = HostSystemTime{2026, 12, 0, 6, 0, 0, 7, 0};
    }
    talvik_test::FakeHost host;
    std::ostringstream s;
};

std::string H264Packets(const Bytes& in) {
    Client client;
    std::ostringstream& s = client.s;
    CH264Depacketizer depacketizer(
        {[&](uint16_t a, uint16_t b) { s << "sequence error " << a << " " << b << "\n"; },
         [&] { s << "overflow\n"; },
         {}});
    const std::vector<H264ParameterSetEntry> sets = {
        {96, {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x3d, 0xa1}, {0x68, 0xce, 0x3c, 0x80}},
        {97, {}, {0x68, 0xce, 0x3c, 0x80}}};
    depacketizer.SetParameterSets(sets);
    depacketizer.SetDefaultResolution(640, 360);
    talvik_test::FakeDriver driver;
    driver.device.address = "10.1.2.3";
    driver.device.port = 8080;
    driver.allocator = &client.host;
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
            const Bytes& frame = depacketizer.Frame();
            // An access unit ends in its delimiter.
            FUZZ_CHECK(frame.size() >= 5 && frame[frame.size() - 2] == 0x09);
            s << "frame key=" << depacketizer.FrameIsKey() << " " << depacketizer.Width() << "x"
              << depacketizer.Height() << " " << Hex(frame) << "\n";
        }
        parser.ProcessPacket(packet);
    }
    s << "needkey=" << depacketizer.NeedKeyFrame() << parser.NeedKeyFrame() << "\n";
    HostFrames(s, client.host, driver);
    return s.str();
}

}  // namespace

FUZZ_TARGET(H264Packets);

// The HTTP media parsers through their whole hand-over (driver, host
// allocator, frame, receiver). Byte 0 picks the parser (bit 7: H.264, each
// chunk an access unit) and the chunk size. Every delivered frame is a whole
// JPEG within the cap, or an H.264 unit ending in its delimiter, with a known
// size; a JPEG stream gives the same frames however it is cut.
#include <cstring>

#include "FuzzTarget.h"
#include "http/HttpMediaParser.h"
#include "http/JpegAssembler.h"

namespace {

struct Receiver : IMediaReceiver {
    bool ReceiveFrame(IHostFrame* frame) override { return host.OnFrame(frame); }
    std::string GetStreamName() override { return "talvik_test::LiveStream"; }
    talvik_test::FakeHost host;
};

// The frames of the input after byte 0 fed in chunks ending at `cuts`.
std::string Parse(const Bytes& in, std::vector<size_t> cuts) {
    Receiver receiver;
    talvik_test::FakeHost& host = receiver.host;
    talvik_test::FakeDriver driver;
    driver.device.address = "10.1.1.7";
    driver.device.port = 8080;
    driver.allocator = &host;
    CJpegMediaParser jpeg(&driver);
    CH264MediaParser h264(&driver);
    CHttpMediaParser& parser = (in[0] & 0x80) ? static_cast<CHttpMediaParser&>(h264) : jpeg;
    parser.SetReceiver(&receiver);
    cuts.push_back(in.size());
    for (size_t from = 1, i = 0; i < cuts.size(); from = cuts[i++]) {
        Bytes chunk(in.begin() + long(from), in.begin() + long(cuts[i]));
        if (!chunk.empty()) parser.ParseData(chunk);
    }
    for (const talvik_test::FrameRecord& f : host.Frames()) {
        const uint8_t* d = f.bytes.data();
        const size_t n = f.bytes.size();
        FUZZ_CHECK(f.streamName == "talvik_test::LiveStream" && f.dataSize <= f.requestedSize &&
                   f.width != 0 && f.height != 0 && f.resolutionClass - 1u < 4);
        FUZZ_CHECK(f.fourcc == kFourCCJpeg
                       ? n >= 4 && n <= CJpegAssembler::kMaxImageBytes && d[0] == 0xFF &&
                             d[1] == 0xD8 && d[n - 2] == 0xFF && d[n - 1] == 0xD9
                       : f.fourcc == kFourCCH264 && n >= 5 &&
                             std::memcmp(d + n - 5, "\0\0\1\x09\x30", 5) == 0);
    }
    FUZZ_CHECK(host.Created() == host.Released());
    std::ostringstream s;
    HostFrames(s, host, driver);
    return s.str();
}

std::string HttpMediaParser(const Bytes& in) {
    if (in.empty()) return "";
    std::vector<size_t> chunks, bytes;
    for (size_t pos = 1; pos < in.size(); ++pos) {
        if ((pos - 1) % (1 + (in[0] & 0x7F) * 8) == 0) chunks.push_back(pos);
        bytes.push_back(pos);
    }
    const std::string frames = Parse(in, chunks);
    if (in[0] & 0x80) return frames;
    FUZZ_CHECK(Parse(in, bytes) == frames);
    // Cut once anywhere (the fuzzer, which varies the chunks, only here and there).
    for (size_t cut = 1; cut <= in.size(); cut += kReplay ? 1 : 1 + in.size() / 32)
        FUZZ_CHECK(Parse(in, {cut}) == frames);
    return frames;
}

}  // namespace

FUZZ_TARGET(HttpMediaParser);

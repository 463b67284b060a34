// Feeds the HTTP media parsers through their whole hand-over (driver, host
// allocator, frame, receiver). Byte 0 picks the parser and the chunk size;
// every delivered frame must be a whole JPEG within the cap, or an H.264 unit
// ending in its delimiter, with a known size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "http/HttpMediaParser.h"
#include "http/JpegAssembler.h"
#include "support/FakeHost.h"

namespace {

using namespace talvik;

class Receiver : public IMediaReceiver {
public:
    explicit Receiver(talvik_test::FakeHost& host) : host_(host) {}
    bool ReceiveFrame(IHostFrame* frame) override { return host_.OnFrame(frame); }
    std::string GetStreamName() override { return "fuzz::RecStream"; }

private:
    talvik_test::FakeHost& host_;
};

bool Whole(const talvik_test::FrameRecord& f) {
    const uint8_t* d = f.bytes.data();
    const size_t n = f.bytes.size();
    if (f.streamName != "fuzz::RecStream" || f.dataSize > f.requestedSize || f.width == 0 ||
        f.height == 0 || f.resolutionClass < 1 || f.resolutionClass > 4)
        return false;
    if (f.fourcc == kFourCCJpeg)
        return n >= 4 && n <= CJpegAssembler::kMaxImageBytes && d[0] == 0xFF && d[1] == 0xD8 &&
               d[n - 2] == 0xFF && d[n - 1] == 0xD9;
    return f.fourcc == kFourCCH264 && n >= 5 && std::memcmp(d + n - 5, "\0\0\1\x09\x30", 5) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    talvik_test::FakeHost host;
    talvik_test::FakeDriver driver;
    driver.device.address = "10.0.0.5";
    driver.allocator = &host;
    Receiver receiver(host);
    CJpegMediaParser jpeg(&driver);
    CH264MediaParser h264(&driver);
    CHttpMediaParser& parser = (data[0] & 0x80) ? static_cast<CHttpMediaParser&>(h264)
                                                : static_cast<CHttpMediaParser&>(jpeg);
    parser.SetReceiver(&receiver);
    const size_t step = 1 + (data[0] & 0x7F) * 8;
    for (size_t pos = 1; pos < size; pos += step) {
        std::vector<uint8_t> chunk(data + pos, data + std::min(size, pos + step));
        parser.ParseData(chunk);
    }
    for (const talvik_test::FrameRecord& f : host.Frames())
        if (!Whole(f)) __builtin_trap();
    if (host.Created() != host.Released()) __builtin_trap();
    return 0;
}

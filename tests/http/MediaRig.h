// Byte builders and the media parsers on a fake host, shared by the JPEG
// assembler, media parser and corpus replay tests.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "http/HttpMediaParser.h"
#include "support/FakeHost.h"

namespace talvik_http_test {

using Bytes = std::vector<uint8_t>;

// A minimal JPEG: SOI, APP0 stub, a start-of-frame header (baseline C0 or
// progressive C2) with the given size, a start of scan, `body` entropy-coded
// filler bytes (no 0xFF), EOI. Its size is body + kJpegOverhead.
constexpr size_t kJpegOverhead = 33;
inline Bytes MakeJpeg(uint16_t width, uint16_t height, size_t body, uint8_t sof = 0xC0,
                      uint8_t fill = 0x11) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x4A, 0x46, 0xFF, sof, 0x00, 0x0B, 0x08};
    b.push_back(static_cast<uint8_t>(height >> 8));
    b.push_back(static_cast<uint8_t>(height));
    b.push_back(static_cast<uint8_t>(width >> 8));
    b.push_back(static_cast<uint8_t>(width));
    b.insert(b.end(), {0x01, 0x01, 0x11, 0x00});
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    b.insert(b.end(), body, fill);
    b.push_back(0xFF);
    b.push_back(0xD9);
    return b;
}

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct StubReceiver : talvik::IMediaReceiver {
    explicit StubReceiver(talvik_test::FakeHost* host) : host_(host) {}
    bool ReceiveFrame(talvik::IHostFrame* frame) override { return host_->OnFrame(frame); }
    std::string GetStreamName() override { return "talvik_test::LiveStream"; }
    talvik_test::FakeHost* host_;
};

// Both HTTP media parsers delivering into one fake host, device 10.1.1.7:8080.
struct Rig {
    Rig() {
        driver.device.address = "10.1.1.7";
        driver.device.port = 8080;
        driver.allocator = &host;
        jpeg.SetReceiver(&receiver);
        h264.SetReceiver(&receiver);
    }
    talvik_test::FakeDriver driver;
    talvik_test::FakeHost host;
    StubReceiver receiver{&host};
    talvik::CJpegMediaParser jpeg{&driver};
    talvik::CH264MediaParser h264{&driver};
};

}  // namespace talvik_http_test

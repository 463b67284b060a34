// Feeds the HTTP media parsers through their whole hand-over (driver, host
// allocator, frame, receiver). Byte 0 picks the parser and the chunk size;
// every delivered frame must be a whole JPEG within the cap, or an H.264 unit
// ending in its delimiter, with a known size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "http/HttpMediaParser.h"

namespace {

using namespace talvik;

class Frame : public IHostFrame {
public:
    explicit Frame(uint32_t size) : buffer_(size) {}
    uint32_t GetBufferSize() override { return uint32_t(buffer_.size()); }
    uint8_t* GetBuffer() override { return buffer_.data(); }
    uint32_t GetDataSize() override { return size_; }
    void SetDataSize(uint32_t size) override { size_ = size; }
    void StampFrame() override {}
    void SetTime(const HostSystemTime*) override {}
    void GetTime(HostSystemTime*) override {}
    uint32_t GetFourCC() override { return fourcc_; }
    void SetFourCC(uint32_t fourcc) override { fourcc_ = fourcc; }
    uint32_t GetHeight() override { return height_; }
    void SetHeight(uint32_t h) override { height_ = h; }
    uint32_t GetWidth() override { return width_; }
    void SetWidth(uint32_t w) override { width_ = w; }
    uint32_t GetResolutionClass() override { return class_; }
    void SetResolutionClass(uint32_t c) override { class_ = c; }

private:
    std::vector<uint8_t> buffer_;
    uint32_t size_ = 0, fourcc_ = 0, width_ = 0, height_ = 0, class_ = 0;
};

class Host : public IHostFrameAllocator, public IMediaReceiver {
public:
    IHostFrame* CreateFrame(uint32_t, uint32_t size, const char* name) override {
        if (name == nullptr || std::strcmp(name, "fuzz::RecStream") != 0) __builtin_trap();
        return new Frame(size);
    }
    void ReleaseFrame(IHostFrame* frame) override { delete static_cast<Frame*>(frame); }
    bool ReceiveFrame(IHostFrame* frame) override {
        const uint8_t* d = frame->GetBuffer();
        const uint32_t n = frame->GetDataSize();
        if (n > frame->GetBufferSize() || frame->GetWidth() == 0 || frame->GetHeight() == 0 ||
            frame->GetResolutionClass() < 1 || frame->GetResolutionClass() > 4)
            __builtin_trap();
        if (frame->GetFourCC() == kFourCCJpeg) {
            if (n < 4 || n > CJpegAssembler::kMaxImageBytes || d[0] != 0xFF || d[1] != 0xD8 ||
                d[n - 2] != 0xFF || d[n - 1] != 0xD9)
                __builtin_trap();
        } else if (frame->GetFourCC() == kFourCCH264) {
            if (n < 5 || std::memcmp(d + n - 5, "\x00\x00\x01\x09\x30", 5) != 0) __builtin_trap();
        } else {
            __builtin_trap();
        }
        return true;
    }
    std::string GetStreamName() override { return "fuzz::RecStream"; }
};

class Driver : public IDriver {
public:
    explicit Driver(IHostFrameAllocator* allocator) : allocator_(allocator) {
        device_.address = "10.0.0.5";
    }
    std::string GetSourceName() override { return "10.0.0.5:80"; }
    void DebugMessage(uint32_t, const char*, ...) override {}
    std::string GetDriverName() override { return "fuzz"; }
    std::string GetHostDirectory() override { return ""; }
    const DEVICE_INFO* GetDeviceInfo() override { return &device_; }
    std::pair<uint32_t, uint32_t> GetIOCounts() override { return {0, 0}; }
    IHostFrameAllocator* GetHostContext() override { return allocator_; }
    int32_t GetParameterOneValue() override { return 0; }
    uint32_t GetDefaultCodec() override { return 1; }
    uint32_t GetVideoInputCount() override { return 1; }
    std::string GetParameterString(uint32_t) override { return ""; }
    int32_t GetParameterInt(uint32_t) override { return kNoParameterValue; }
    bool GetParameterSevenFlag() override { return false; }

private:
    IHostFrameAllocator* allocator_;
    DEVICE_INFO device_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    Host host;
    Driver driver(&host);
    CJpegMediaParser jpeg(&driver);
    CH264MediaParser h264(&driver);
    CHttpMediaParser& parser = (data[0] & 0x80) ? static_cast<CHttpMediaParser&>(h264)
                                                : static_cast<CHttpMediaParser&>(jpeg);
    parser.SetReceiver(&host);
    const size_t step = 1 + (data[0] & 0x7F) * 8;
    for (size_t pos = 1; pos < size; pos += step) {
        std::vector<uint8_t> chunk(data + pos, data + std::min(size, pos + step));
        parser.ParseData(chunk);
    }
    return 0;
}

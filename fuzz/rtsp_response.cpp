// RTSP answers: the first byte picks the request method (1 DESCRIBE ...
// 6 PAUSE), the rest is the answer text. Each input is parsed twice into the
// same record, as the client does with consecutive answers of one session.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rtsp/RTSPResponseParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 70000) return 0;
    const auto method = static_cast<talvik::RTSPMethod>(data[0] % 6 + 1);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    talvik::CRTSPResponseParser parser;
    parser.ParseResponse(method, text);
    parser.ParseResponse(talvik::RTSPMethod::SETUP, text);
    parser.Reset();
    return 0;
}

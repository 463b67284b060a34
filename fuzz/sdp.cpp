// Session descriptions of DESCRIBE answers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rtsp/SDPResponseParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 70000) return 0;
    talvik::CSDPResponseParser parser;
    parser.ParseDescription(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

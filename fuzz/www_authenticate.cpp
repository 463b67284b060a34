// WWW-Authenticate values from a device: the challenge reader and the Digest
// answer built from whatever it found. Input: header values separated by LF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/HttpAuth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    std::vector<std::string> values;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            values.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    values.push_back(current);
    talvik::Web::DigestChallenge digest;
    talvik::Web::ParseAuthenticate(values, &digest);
    if (digest.valid) {
        std::string header = talvik::Web::BuildDigestAuthorization(digest, "admin", "secret", "GET",
                                                                   "/get?model", "", 1, "c0ffee");
        if (header.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    }
    return 0;
}

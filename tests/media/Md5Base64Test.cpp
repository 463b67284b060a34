#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "media/Base64.h"
#include "media/Md5.h"
#include "support/TestFiles.h"

namespace talvik {
namespace {

// A field of tests/media/data/digests.txt: text, hex:bytes or N*c; "\r\n" is CR LF.
std::string Field(const std::string& f) {
    std::string out = f;
    if (f.rfind("hex:", 0) == 0) {
        out.clear();
        for (size_t i = 4; i + 1 < f.size(); i += 2)
            out.push_back(char(std::stoi(f.substr(i, 2), nullptr, 16)));
    } else if (f.size() > 2 && f[f.size() - 2] == '*' &&
               isdigit(static_cast<unsigned char>(f[0]))) {
        out.assign(std::stoul(f), f.back());
    }
    for (size_t at; (at = out.find("\\r\\n")) != std::string::npos;)
        out.replace(at, 4, "\r\n");
    return out;
}

// Md5 digests, Base64 encodings and Basic credentials, one row a line.
TEST(Md5Base64, MatchReferenceValues) {
    const auto rows = talvik::test::DataRows("media/data/digests.txt", "|");
    for (std::vector<std::string> f : rows) {
        for (std::string& field : f)
            field = Field(field);
        if (f[0] == "md5") {
            EXPECT_EQ(Md5HexDigest(f[1]), f[2]) << f[1];
        } else if (f[0] == "base64") {
            const auto* bytes = reinterpret_cast<const uint8_t*>(f[1].data());
            EXPECT_EQ(Base64Encode(bytes, f[1].size(), f[2] == "1"), f[3]) << f[1];
        } else {
            std::string out = "stale";
            EXPECT_EQ(MakeBasicCredentials(f[1], f[2], out), f[3] == "1") << f[1];
            EXPECT_EQ(out, f[4]) << f[1];
        }
    }
    EXPECT_EQ(rows.size(), 22u);
}

}  // namespace
}  // namespace talvik

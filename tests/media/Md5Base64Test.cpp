#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
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
    std::istringstream all(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/media/data/digests.txt"));
    int rows = 0;
    for (std::string line; std::getline(all, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        std::istringstream fields(line + "|");
        for (std::string field; std::getline(fields, field, '|');)
            f.push_back(Field(field));
        ++rows;
        if (f[0] == "md5") {
            EXPECT_EQ(Md5HexDigest(f[1]), f[2]) << line;
        } else if (f[0] == "base64") {
            EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>(f[1].data()), f[1].size(),
                                   f[2] == "1"),
                      f[3])
                << line;
        } else {
            std::string out = "stale";
            EXPECT_EQ(MakeBasicCredentials(f[1], f[2], out), f[3] == "1") << line;
            EXPECT_EQ(out, f[4]) << line;
        }
    }
    EXPECT_EQ(rows, 22);
}

}  // namespace
}  // namespace talvik

// The host core version from the version resource of "vantrel.dll", found by
// the system's library search (here: the current directory), and the level
// of the driver-opened notice it gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/Debug.h"
#include "base/Text.h"

namespace {

struct LevelSink : talvik::IHostDebugSink {
    void Report(const talvik::CDebugInfoIf* info) override { level = info->GetLevel(); }
    int level = 0;
};

void Notice(LevelSink* sink, const talvik::HostCoreVersion& host, const char* format, ...) {
    va_list args;
    va_start(args, format);
    talvik::ForwardDebugMessageV(sink, host, 100, format, args);
    va_end(args);
}

TEST(HostCoreVersion, ReadFromVersionResourceOfVantrelDll) {
    const struct {
        const char* directory;  // under the stubs' folder; "" holds no vantrel.dll
        const char* version;
        int noticeLevel;
    } cases[] = {
        {"", "5.12.0.0", 3},       {"5.11.9.2", "5.11.9.2", 2}, {"5.12.3.0", "5.12.3.0", 3},
        {"6.0.0.0", "6.0.0.0", 3}, {"6.3.0.0", "6.3.0.0", 100},
    };
    const std::filesystem::path before = std::filesystem::current_path();
    for (const auto& c : cases) {
        std::filesystem::current_path(std::string(TALVIK_VANTREL_STUBS) + "/" + c.directory);
        const talvik::HostCoreVersion v = talvik::ReadHostCoreVersion();
        LevelSink sink;
        Notice(&sink, v, "%s", "DRIVER IS OPENED");
        EXPECT_EQ(talvik::FormatString("%u.%u.%u.%u", v.major, v.minor, v.build, v.revision),
                  c.version);
        EXPECT_EQ(sink.level, c.noticeLevel) << c.version;
    }
    std::filesystem::current_path(before);
}

}  // namespace

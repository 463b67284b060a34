// The host core library's version as the loader names its file.
#include <gtest/gtest.h>

#include "HostCoreFile.h"
#include "base/Text.h"

namespace {

TEST(DebugLevels, CoreFileNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/host/libvantrel.so.6.3.0.0", "6.3.0.0"},
        {"libvantrel.so.5.11.9.2", "5.11.9.2"},
        {"libvantrel.so.6.3", ""},
        {"libvantrel.so.6.3.0.x", ""},
        {"libvantrel.so.70000.0.0.0", ""},
        {"libother.so.6.3.0.0", ""},
    };
    for (const auto& [path, version] : cases) {
        uint16_t v[4] = {};
        const bool ok = talvik::ParseHostCoreFileName(path, v);
        EXPECT_EQ(ok ? talvik::FormatString("%d.%d.%d.%d", v[0], v[1], v[2], v[3]) : "", version)
            << path;
    }
}

}  // namespace

// Windows only: the host core version from the version resource of
// "vantrel.dll", found by the system's library search (here: the current
// directory), with the level of a notice it gives; and the
// MSXML document's use of COM on the calling thread, under Wine; the
// reader/writer lock leaves no handle behind.
#include <gtest/gtest.h>
#include <objbase.h>

#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "Platform.h"
#include "base/Debug.h"
#include "base/Text.h"
#include "platform/SharedMutex.h"
#include "platform/XmlDocument.h"

namespace talvik {
namespace {

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
        const HostCoreVersion v = ReadHostCoreVersion();
        EXPECT_EQ(FormatString("%u.%u.%u.%u", v.major, v.minor, v.build, v.revision), c.version);
        EXPECT_EQ(AdaptLevel(100, v), c.noticeLevel) << c.version;
    }
    std::filesystem::current_path(before);
}

const std::string kXml =
    "<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode></Default></Configuration>";

// COM is left as found: after a document the thread can enter another model.
// A thread in the single-threaded model gets no document; one already
// multithreaded keeps its COM: our uninit balances its own init, the next
// init is new.
TEST(WinXmlDocument, LeavesComAsItFoundIt) {
    {
        CXmlDocument document;
        ASSERT_TRUE(document.LoadBuffer(kXml.data(), kXml.size()));
        EXPECT_EQ(document.FirstChildText("Configuration/Default/RTPMode"), "RTPoverRTSP");
    }
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
        CXmlDocument document;
        EXPECT_FALSE(document.LoadBuffer(kXml.data(), kXml.size()));
        EXPECT_FALSE(document.NodeExists("Configuration"));
    }
    CoUninitialize();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
        CXmlDocument document;
        EXPECT_TRUE(document.LoadBuffer(kXml.data(), kXml.size()));
    }
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
}

// Every driver holds one such lock, taken shared by each message and frame
// and exclusively when the driver closes. With std::shared_mutex each lock,
// once used, left two semaphores in the process (200 handles here).
TEST(WinSharedMutex, LeavesNoHandleBehind) {
    const uint32_t before = talvik_host::ReadProcessUsage().handles;
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 100; ++i) {
        // No second thread: a thread's handle may go a moment after it ends.
        CSharedMutex lock;
        std::shared_lock<CSharedMutex> shared(lock);
        shared.unlock();
        std::unique_lock<CSharedMutex> exclusive(lock);
    }
    EXPECT_EQ(talvik_host::ReadProcessUsage().handles, before);
}

}  // namespace
}  // namespace talvik

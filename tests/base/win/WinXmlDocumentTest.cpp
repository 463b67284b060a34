// The MSXML document's use of COM on the calling thread, under Wine.
#include <gtest/gtest.h>
#include <objbase.h>

#include <string>

#include "platform/XmlDocument.h"

namespace talvik {
namespace {

const std::string kXml =
    "<Configuration><Default><RTPMode>RTPoverRTSP</RTPMode></Default></Configuration>";

// COM is left as found: the thread can enter another model afterwards.
TEST(WinXmlDocument, LeavesComAsItFoundIt) {
    {
        CXmlDocument document;
        ASSERT_TRUE(document.LoadBuffer(kXml.data(), kXml.size()));
        EXPECT_EQ(document.FirstChildText("Configuration/Default/RTPMode"), "RTPoverRTSP");
    }
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(hr, S_OK);
    if (SUCCEEDED(hr)) CoUninitialize();
}

TEST(WinXmlDocument, ThreadInTheSingleThreadedModelGetsNoDocument) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
        CXmlDocument document;
        EXPECT_FALSE(document.LoadBuffer(kXml.data(), kXml.size()));
        EXPECT_FALSE(document.NodeExists("Configuration"));
    }
    CoUninitialize();
}

TEST(WinXmlDocument, ThreadAlreadyMultithreadedKeepsItsCom) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
        CXmlDocument document;
        EXPECT_TRUE(document.LoadBuffer(kXml.data(), kXml.size()));
    }
    // Still initialised once: this balances our own call, the next is new.
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
}

}  // namespace
}  // namespace talvik

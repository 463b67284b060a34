// Windows only: the texts of Winsock errors are never empty, even where the
// system has none (under Wine FormatMessage knows no Winsock error).
#include <gtest/gtest.h>
#include <winsock2.h>

#include <string>

#include "SocketErrors.h"

namespace talvik {
namespace {

TEST(WinsockErrors, NamesOfTheCommonErrors) {
    const struct {
        int error;
        const char* name;
    } cases[] = {
        {10048, "WSAEADDRINUSE"},     {10013, "WSAEACCES"},         {10035, "WSAEWOULDBLOCK"},
        {10040, "WSAEMSGSIZE"},       {10054, "WSAECONNRESET"},     {10055, "WSAENOBUFS"},
        {10093, "WSANOTINITIALISED"}, {11001, "WSAHOST_NOT_FOUND"},
    };
    for (const auto& c : cases) {
        ASSERT_NE(WinsockErrorName(c.error), nullptr) << c.error;
        EXPECT_STREQ(WinsockErrorName(c.error), c.name);
    }
    EXPECT_EQ(WinsockErrorName(0), nullptr);
    EXPECT_EQ(WinsockErrorName(12345), nullptr);
}

// The system's text where it has one, else the name, else a plain word; the
// number always follows.
TEST(WinsockErrors, TextIsNeverEmpty) {
    for (int error : {WSAEADDRINUSE, WSAEACCES, 12345}) {
        const std::string text = WinsockErrorText(error);
        const std::string number = " (" + std::to_string(error) + ")";
        ASSERT_GT(text.size(), number.size()) << text;
        EXPECT_EQ(text.substr(text.size() - number.size()), number);
    }
    const std::string inUse = WinsockErrorText(WSAEADDRINUSE);
    char system[256] = "";
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       WSAEADDRINUSE, 0, system, sizeof system, nullptr) == 0) {
        EXPECT_EQ(inUse, "WSAEADDRINUSE (10048)") << "the system has no text: the name stands in";
    }
}

}  // namespace
}  // namespace talvik

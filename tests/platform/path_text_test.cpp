#include "platform/path_text.h"

#include <gtest/gtest.h>

namespace
{

TEST(PathText, RoundTripsEveryKindOfName)
{
    const std::string names[] = {
        "/tmp/plain",
        "/tmp/caf\xC3\xA9",
        "/tmp/\xF0\x9F\x98\x80.dmp",
        "/tmp/latin1-\xE9-not-utf8",   // a lone byte that is not UTF-8
        "/tmp/\x80-\xFF-lone",         // the lowest and highest of them
        "/tmp/\xC0\xAF-overlong",      // an overlong encoding is not UTF-8 either
        "/tmp/\xED\xA0\xBD-surrogate", // nor is an encoded surrogate
        "/tmp/cut-\xE2\x82",           // a sequence cut short at the end
    };
    for (const std::string &bytes : names)
        EXPECT_EQ(platform::pathToBytes(platform::pathFromBytes(bytes)), bytes);
}

TEST(PathText, DecodesUtf8IntoCodePoints)
{
    EXPECT_EQ(platform::pathFromBytes("caf\xC3\xA9"), L"caf\u00E9");
    EXPECT_EQ(platform::pathFromBytes("\xF0\x9F\x98\x80"), std::wstring(1, wchar_t(0x1F600)));
    EXPECT_EQ(platform::pathToBytes(L"caf\u00E9"), "caf\xC3\xA9");
    EXPECT_FALSE(platform::pathsAreUtf16());
}

} // namespace

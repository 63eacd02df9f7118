// Windows paths are UTF-16 and travel as UTF-8 bytes: the conversion both ways.
#include "platform/path_text.h"

#include <gtest/gtest.h>

TEST(PathTextWin, ConvertsBetweenUtf16AndUtf8)
{
    EXPECT_TRUE(platform::pathsAreUtf16());
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", ""},
        {L"C:\\keel-anr-cache\\1733412345678.dmp", "C:\\keel-anr-cache\\1733412345678.dmp"},
        {L"C:\\caf\u00E9\\\u20AC", "C:\\caf\xC3\xA9\\\xE2\x82\xAC"},
        // A surrogate pair is one four-byte character, not two three-byte halves.
        {L"C:\\\U0001F600.dmp", "C:\\\xF0\x9F\x98\x80.dmp"},
    };
    for (const auto &[utf16, utf8] : cases) {
        EXPECT_EQ(platform::pathToBytes(utf16), utf8);
        EXPECT_EQ(platform::pathFromBytes(utf8), utf16) << utf8;
    }
}

// Paths travel as UTF-8 bytes: Windows paths are UTF-16, Linux paths one code point per
// wchar_t decoded from the name's bytes, which need not be UTF-8.
#include "platform/path_text.h"

#include <gtest/gtest.h>

namespace
{

TEST(PathText, ConvertsBetweenTheSystemsFormAndUtf8)
{
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", ""},
        {L"C:\\keel-anr-cache\\1733412345678.dmp", "C:\\keel-anr-cache\\1733412345678.dmp"},
        {L"/tmp/caf\u00E9/\u20AC", "/tmp/caf\xC3\xA9/\xE2\x82\xAC"},
        // On Windows a surrogate pair, which is one four-byte character, not two halves.
        {L"\U0001F600.dmp", "\xF0\x9F\x98\x80.dmp"},
    };
    for (const auto &[wide, utf8] : cases) {
        EXPECT_EQ(platform::pathToBytes(wide), utf8);
        EXPECT_EQ(platform::pathFromBytes(utf8), wide) << utf8;
    }
#ifdef _WIN32
    EXPECT_TRUE(platform::pathsAreUtf16());
#else
    EXPECT_FALSE(platform::pathsAreUtf16());
    const std::string notUtf8[] = {
        "/tmp/latin1-\xE9-not-utf8",   // a lone byte that is not UTF-8
        "/tmp/\x80-\xFF-lone",         // the lowest and highest of them
        "/tmp/\xC0\xAF-overlong",      // an overlong encoding is not UTF-8 either
        "/tmp/\xED\xA0\xBD-surrogate", // nor is an encoded surrogate
        "/tmp/cut-\xE2\x82",           // a sequence cut short at the end
    };
    for (const std::string &bytes : notUtf8)
        EXPECT_EQ(platform::pathToBytes(platform::pathFromBytes(bytes)), bytes);
#endif
}

} // namespace

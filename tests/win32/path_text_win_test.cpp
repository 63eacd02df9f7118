// Paths on Windows are UTF-16 and travel as UTF-8 bytes: the conversion both ways.
// Windows only: Linux paths are bytes, tested in tests/platform/path_text_test.cpp.
#include "platform/path_text.h"

#include <gtest/gtest.h>

namespace
{

struct PathCase {
    const char *name;
    std::wstring utf16;
    std::string utf8;
};

class PathTextWinTest : public testing::TestWithParam<PathCase>
{
};

TEST_P(PathTextWinTest, ConvertsBetweenUtf16AndUtf8)
{
    const PathCase &path = GetParam();
    EXPECT_TRUE(platform::pathsAreUtf16());
    EXPECT_EQ(platform::pathToBytes(path.utf16), path.utf8);
    EXPECT_EQ(platform::pathFromBytes(path.utf8), path.utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathTextWinTest,
    testing::Values(PathCase{"Empty", L"", ""},
                    PathCase{"Ascii", L"C:\\keel-anr-cache\\1733412345678.dmp",
                             "C:\\keel-anr-cache\\1733412345678.dmp"},
                    PathCase{"TwoAndThreeByteCharacters", L"C:\\caf\u00E9\\\u20AC",
                             "C:\\caf\xC3\xA9\\\xE2\x82\xAC"},
                    // A surrogate pair is one four-byte character, not two three-byte halves.
                    PathCase{"OutsideTheBmp", L"C:\\\U0001F600.dmp", "C:\\\xF0\x9F\x98\x80.dmp"}),
    [](const testing::TestParamInfo<PathCase> &info) { return info.param.name; });

} // namespace

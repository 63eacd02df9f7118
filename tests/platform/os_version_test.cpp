#include "platform/os_version.h"

#include <gtest/gtest.h>

namespace
{

struct VersionRow {
    std::uint32_t major;
    std::uint32_t minor;
    std::uint32_t build;
    const char *expected;
};

class WindowsVersionNameTest : public testing::TestWithParam<VersionRow>
{
};

TEST_P(WindowsVersionNameTest, MapsEveryRow)
{
    const VersionRow row = GetParam();
    EXPECT_EQ(platform::windowsVersionName(row.major, row.minor, row.build), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsVersionNameTest,
    testing::Values(
        VersionRow{5, 0, 0, "Windows2000_64"}, VersionRow{5, 1, 2600, "WindowsXP_64"},
        VersionRow{5, 2, 3790, "WindowsServer2003_64"}, VersionRow{6, 0, 6002, "WindowsVista_64"},
        VersionRow{6, 1, 7601, "Windows7_64"}, VersionRow{6, 2, 9200, "Windows8_64"},
        VersionRow{6, 3, 9600, "Windows8.1_64"}, VersionRow{10, 0, 21999, "Windows10_64"},
        VersionRow{10, 0, 22000, "Windows11_64"},
        // 0xF0004A61 cut to its low 16 bits by the caller.
        VersionRow{10, 0, 0xF0004A61u & 0xFFFF, "Windows10_64"}, VersionRow{6, 4, 0, "1540_64"},
        VersionRow{10, 1, 0, "2561_64"}, VersionRow{0, 0, 0, "0_64"}));

} // namespace

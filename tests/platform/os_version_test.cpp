#include "platform/os_version.h"

#include <gtest/gtest.h>

namespace
{

// The build number 0xF0004A61 comes cut to its low 16 bits by the caller.
TEST(WindowsVersionName, NamesEachVersionOrFallsBackToItsNumbers)
{
    const struct {
        std::uint32_t major, minor, build;
        const char *expected;
    } rows[] = {{5, 0, 0, "Windows2000_64"},
                {5, 1, 2600, "WindowsXP_64"},
                {5, 2, 3790, "WindowsServer2003_64"},
                {6, 0, 6002, "WindowsVista_64"},
                {6, 1, 7601, "Windows7_64"},
                {6, 2, 9200, "Windows8_64"},
                {6, 3, 9600, "Windows8.1_64"},
                {10, 0, 21999, "Windows10_64"},
                {10, 0, 22000, "Windows11_64"},
                {10, 0, 0xF0004A61u & 0xFFFF, "Windows10_64"},
                {6, 4, 0, "1540_64"},
                {10, 1, 0, "2561_64"},
                {0, 0, 0, "0_64"}};
    for (const auto &row : rows)
        EXPECT_EQ(platform::windowsVersionName(row.major, row.minor, row.build), row.expected);
}

} // namespace

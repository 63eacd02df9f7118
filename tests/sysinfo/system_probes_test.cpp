#include "sysinfo/memory_info.h"
#include "sysinfo/system_probes.h"
#include "sysinfo/wide_to_utf8.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace
{

TEST(WideToUtf8, EncodesEachUtf16UnitOnItsOwn)
{
    EXPECT_EQ(wideToUtf8(L"host.exe"), "host.exe");
    EXPECT_EQ(wideToUtf8({wchar_t(0x7F), wchar_t(0x80)}), "\x7F\xC2\x80");
    EXPECT_EQ(wideToUtf8(L"\u07FF\u0800"), "\xDF\xBF\xE0\xA0\x80");
    // U+1F600 as its UTF-16 halves: each half becomes its own three-byte sequence.
    const std::wstring surrogates{wchar_t(0xD83D), wchar_t(0xDE00)};
    EXPECT_EQ(wideToUtf8(surrogates), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(wideToUtf8(L""), "");
    EXPECT_EQ(wideToUtf8(std::wstring(1, L'\0')), std::string(1, '\0'));
}

TEST(SystemProbes, DescribeThisMachineAndProcess)
{
    EXPECT_EQ(getCpuType(), "x64");
    EXPECT_EQ(getOsBuild(), "");
    EXPECT_EQ(getProcessIdString(), std::to_string(getpid()));

    const std::string version = getOsVersion();
    ASSERT_GE(version.size(), 3u);
    EXPECT_EQ(version.substr(version.size() - 3), "_64");
    EXPECT_EQ(getOsVersion(), version);

    std::ifstream release("/etc/os-release");
    std::string line;
    std::string id;
    std::string versionId;
    while (std::getline(release, line)) {
        const auto unquote = [](std::string v) {
            return v.size() >= 2 && v.front() == '"' ? v.substr(1, v.size() - 2) : v;
        };
        if (line.rfind("ID=", 0) == 0)
            id = unquote(line.substr(3));
        if (line.rfind("VERSION_ID=", 0) == 0)
            versionId = unquote(line.substr(11));
    }
    if (!id.empty()) {
        EXPECT_EQ(version, id + versionId + "_64");
    }

    EXPECT_EQ(getExecutableName(), "sysinfo_tests");
    const std::wstring path = getExecutablePath();
    EXPECT_EQ(path.substr(path.size() - 14), L"/sysinfo_tests");
}

TEST(SystemProbes, MemoryFiguresAreDecimalStringsThatAddUp)
{
    json_t *memory = getMemoryInfo();
    ASSERT_TRUE(json_is_object(memory));
    ASSERT_EQ(json_object_size(memory), 3u);
    const char *keys[] = {"memory_total", "memory_free", "memory_avialiable"};
    unsigned long long values[3];
    for (int i = 0; i < 3; ++i) {
        json_t *value = json_object_get(memory, keys[i]);
        ASSERT_TRUE(json_is_string(value)) << keys[i];
        const std::string text = json_string_value(value);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << text;
        EXPECT_TRUE(text == "0" || text[0] != '0') << text;
        values[i] = std::stoull(text);
    }
    EXPECT_GT(values[0], 0u);
    EXPECT_EQ(values[0], values[1] + values[2]);
    json_decref(memory);
}

} // namespace

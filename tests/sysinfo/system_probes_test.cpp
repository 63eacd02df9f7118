// The probes of this machine and process, on Linux and on Windows (under Wine).
#include "base/utf8_text.h"
#include "platform/system_info.h"
#include "sysinfo/system_probes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#if __has_include(<jansson.h>)
#include "sysinfo/memory_info.h"
#endif
#ifdef _WIN32
#include <process.h>
#endif

namespace
{

TEST(WideToUtf8, EncodesEachUtf16UnitOnItsOwn)
{
    EXPECT_EQ(wideToUtf8(L"host.exe"), "host.exe");
    EXPECT_EQ(wideToUtf8({wchar_t(0x7F), wchar_t(0x80)}), "\x7F\xC2\x80");
    EXPECT_EQ(wideToUtf8(L"\u07FF\u0800"), "\xDF\xBF\xE0\xA0\x80");
    // U+1F600 as its UTF-16 halves: each half becomes its own three-byte sequence.
    EXPECT_EQ(wideToUtf8({wchar_t(0xD83D), wchar_t(0xDE00)}), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(wideToUtf8(L""), "");
    EXPECT_EQ(wideToUtf8(std::wstring(1, L'\0')), std::string(1, '\0'));
}

TEST(SystemProbes, DescribeThisMachineAndProcess)
{
    EXPECT_EQ(getCpuType(), "x64");
    EXPECT_EQ(getOsBuild(), "");
    const std::string version = getOsVersion();
    EXPECT_EQ(platform::osVersionText(), version);
    platform::MemoryStatus memory;
    ASSERT_TRUE(platform::readMemoryStatus(memory));
    EXPECT_GT(memory.totalPhysical, 0u);
    EXPECT_LE(memory.availablePhysical, memory.totalPhysical);
    const std::wstring path = getExecutablePath();
#ifdef _WIN32
    EXPECT_EQ(getProcessIdString(), std::to_string(_getpid()));
    EXPECT_EQ(version.substr(0, 7), "Windows") << version;
    EXPECT_EQ(getExecutableName(), "sysinfo_tests_win.exe");
    EXPECT_EQ(path.substr(1, 2), L":\\") << "a full path with a drive letter";
#else // the process id and name are the common report fields test's
    std::ifstream release("/etc/os-release");
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(release, line);) {
        const std::size_t equals = line.find('=');
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"')
            value = value.substr(1, value.size() - 2);
        fields[line.substr(0, equals)] = value;
    }
    if (!fields["ID"].empty()) {
        EXPECT_EQ(version, fields["ID"] + fields["VERSION_ID"] + "_64");
    }
    EXPECT_EQ(version.substr(version.size() - 3), "_64");
    EXPECT_EQ(path.substr(path.size() - 14), L"/sysinfo_tests");
#endif
}

// The Windows build without jansson has no JSON figures.
#if __has_include(<jansson.h>)
TEST(SystemProbes, MemoryFiguresAreDecimalStringsThatAddUp)
{
    json_t *memory = getMemoryInfo();
    ASSERT_EQ(json_object_size(memory), 3u);
    const char *keys[] = {"memory_total", "memory_free", "memory_avialiable"};
    unsigned long long values[3];
    for (int i = 0; i < 3; ++i) {
        json_t *value = json_object_get(memory, keys[i]);
        ASSERT_TRUE(json_is_string(value)) << keys[i];
        const std::string text = json_string_value(value);
        EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << text;
        EXPECT_TRUE(text == "0" || text[0] != '0') << text;
        values[i] = std::stoull(text);
    }
    EXPECT_GT(values[0], 0u);
    EXPECT_EQ(values[0], values[1] + values[2]);
    json_decref(memory);
}
#endif

} // namespace

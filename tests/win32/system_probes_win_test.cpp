// The system probes on Windows (under Wine, which reports Windows 10 by default).
// Windows only: on Linux the same probes read /proc and /etc/os-release, tested in
// tests/sysinfo/.
#include "platform/path_text.h"
#include "platform/system_info.h"
#include "sysinfo/build_number.h"
#include "sysinfo/system_probes.h"
#include "test_files_win.h"

#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <process.h>

#include <sstream>
#include <vector>

namespace
{

TEST(SystemProbesWin, DescribeThisMachineAndProcess)
{
    const std::string version = getOsVersion();
    EXPECT_EQ(version.substr(0, 7), "Windows") << version;
    EXPECT_EQ(platform::osVersionText(), version);
    EXPECT_EQ(getCpuType(), "x64");
    EXPECT_EQ(getProcessIdString(), std::to_string(_getpid()));

    platform::MemoryStatus memory;
    ASSERT_TRUE(platform::readMemoryStatus(memory));
    EXPECT_GT(memory.totalPhysical, 0u);
    EXPECT_LE(memory.availablePhysical, memory.totalPhysical);

    EXPECT_EQ(getExecutableName(), "sysinfo_tests_win.exe");
    const std::wstring path = getExecutablePath();
    ASSERT_GT(path.size(), 2u);
    EXPECT_EQ(path[1], L':') << "a full path with a drive letter";
}

TEST(SystemProbesWin, TextFilesAreReadInTextMode)
{
    TemporaryDirectory directory;
    const std::wstring path = directory / L"caf\u00E9-\U0001F600.ini";
    ASSERT_TRUE(writeFile(path, "[build_info]\r\norla_ci_build_number = 42\r\n"));

    std::FILE *file = platform::openTextFileForReading(path);
    ASSERT_NE(file, nullptr);
    char line[32];
    ASSERT_NE(std::fgets(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "[build_info]\n") << "CR LF arrives as LF";
    std::fclose(file);
    EXPECT_EQ(readIniValue(path, "build_info", "orla_ci_build_number"), "42");
    EXPECT_EQ(platform::openTextFileForReading(directory / L"absent.ini"), nullptr);
}

// RTL_USER_PROCESS_INFORMATION; the image information at its end is not read.
struct UserProcessInformation {
    ULONG length;
    HANDLE process;
    HANDLE thread;
    CLIENT_ID clientId;
    BYTE imageInformation[64];
};
using RtlCreateProcessParametersFunction = NTSTATUS(NTAPI *)(
    PRTL_USER_PROCESS_PARAMETERS *, PUNICODE_STRING, PUNICODE_STRING, PUNICODE_STRING,
    PUNICODE_STRING, PVOID, PUNICODE_STRING, PUNICODE_STRING, PUNICODE_STRING, PUNICODE_STRING);
using RtlCreateUserProcessFunction = NTSTATUS(NTAPI *)(PUNICODE_STRING, ULONG,
                                                       PRTL_USER_PROCESS_PARAMETERS,
                                                       PSECURITY_DESCRIPTOR, PSECURITY_DESCRIPTOR,
                                                       HANDLE, BOOLEAN, HANDLE, HANDLE,
                                                       UserProcessInformation *);
using RtlDestroyProcessParametersFunction = NTSTATUS(NTAPI *)(PRTL_USER_PROCESS_PARAMETERS);

template <typename Function>
Function ntdllFunction(const char *name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

UNICODE_STRING unicodeString(std::wstring &text)
{
    const auto bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    return UNICODE_STRING{bytes, bytes, text.data()};
}

// Starts `executable` with its standard output on `output`. CreateProcessW cannot start
// programs whose path is longer than MAX_PATH (Wine's, and Windows' without long path
// support), so the process is created one level lower, as CreateProcessW itself does.
HANDLE startProcess(std::wstring executable, HANDLE output)
{
    std::wstring ntPath = L"\\??\\" + executable;
    std::wstring commandLine = L"\"" + executable + L"\"";
    UNICODE_STRING imagePath = unicodeString(executable);
    UNICODE_STRING ntImagePath = unicodeString(ntPath);
    UNICODE_STRING command = unicodeString(commandLine);
    PRTL_USER_PROCESS_PARAMETERS parameters = nullptr;
    if (ntdllFunction<RtlCreateProcessParametersFunction>("RtlCreateProcessParameters")(
            &parameters, &imagePath, nullptr, nullptr, &command, nullptr, nullptr, nullptr, nullptr,
            nullptr) != 0)
        return nullptr;
    // Reserved2 holds ConsoleHandle, ConsoleFlags, StandardInput, StandardOutput, StandardError.
    parameters->Reserved2[3] = output;
    parameters->Reserved2[4] = output;
    UserProcessInformation process{sizeof process, nullptr, nullptr, {}, {}};
    const NTSTATUS status = ntdllFunction<RtlCreateUserProcessFunction>("RtlCreateUserProcess")(
        &ntImagePath, OBJ_CASE_INSENSITIVE, parameters, nullptr, nullptr, nullptr, TRUE, nullptr,
        nullptr, &process);
    ntdllFunction<RtlDestroyProcessParametersFunction>("RtlDestroyProcessParameters")(parameters);
    if (status != 0)
        return nullptr;
    ResumeThread(process.thread); // created suspended
    CloseHandle(process.thread);
    return process.process;
}

// Runs `executable` and returns what it printed, with CR LF turned into LF.
std::string outputOf(const std::wstring &executable)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return "CreatePipe failed";
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    const HANDLE process = startProcess(executable, writeEnd);
    CloseHandle(writeEnd);
    std::string output = process ? "" : "the process could not be created";
    char buffer[4096];
    DWORD read = 0;
    while (process && ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read > 0)
        output.append(buffer, read);
    if (process) {
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
    }
    CloseHandle(readEnd);
    for (std::size_t at; (at = output.find("\r\n")) != std::string::npos;)
        output.erase(at, 1);
    return output;
}

// The lines of what `executable` printed.
std::vector<std::string> linesOf(const std::wstring &executable)
{
    std::vector<std::string> lines;
    std::istringstream output(outputOf(executable));
    for (std::string line; std::getline(output, line);)
        lines.push_back(line);
    return lines;
}

// A copy of the program that prints the probes' findings (executable_facts_main_win.cpp).
// Empty when it could not be made.
std::wstring copyFactsProgram(const std::wstring &folder, const std::wstring &name)
{
    const std::wstring test = getExecutablePath();
    const std::wstring source =
        test.substr(0, test.find_last_of(L'\\')) + L"\\executable_facts_win.exe";
    const std::wstring copy = folder + L"\\" + name;
    return createDirectories(folder) && CopyFileW(source.c_str(), copy.c_str(), TRUE) ? copy : L"";
}

enum FactLine { kPathLine, kNameHexLine, kBuildNumberLine, kOsVersionLine, kFactLines };

struct PlacementCase {
    const char *name;
    int nestingLevels; // each adds a directory of 60 characters
    const wchar_t *executableName;
    const char *expectedNameHex;
};

class ExecutablePlacementTest : public testing::TestWithParam<PlacementCase>
{
};

TEST_P(ExecutablePlacementTest, ProbesSeeTheWholePathTheNameAndTheBuildNumberBesideIt)
{
    const PlacementCase placement = GetParam();
    TemporaryDirectory directory;
    std::wstring folder = directory.path();
    for (int level = 0; level < placement.nestingLevels; ++level)
        folder += L"\\" + std::wstring(59, static_cast<wchar_t>(L'a' + level)) + L"-";
    const std::wstring executable = copyFactsProgram(folder, placement.executableName);
    ASSERT_FALSE(executable.empty());
    ASSERT_TRUE(
        writeFile(folder + L"\\fernlea.ini", "[build_info]\r\norla_ci_build_number = 2024.7\r\n"));

    const std::vector<std::string> facts = linesOf(executable);
    ASSERT_EQ(facts.size(), kFactLines) << (facts.empty() ? "" : facts[0]);
    EXPECT_EQ(facts[kPathLine], platform::pathToBytes(executable));
    EXPECT_EQ(facts[kNameHexLine], placement.expectedNameHex);
    EXPECT_EQ(facts[kBuildNumberLine], "2024.7");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecutablePlacementTest,
    testing::Values(
        PlacementCase{"ShortPath", 0, L"host.exe", "68 6F 73 74 2E 65 78 65 "},
        // Longer than the first buffer of 261 characters: read again into 521 (and 781).
        PlacementCase{"PathOf360Characters", 5, L"host.exe", "68 6F 73 74 2E 65 78 65 "},
        PlacementCase{"PathOf660Characters", 10, L"host.exe", "68 6F 73 74 2E 65 78 65 "},
        // U+00E9 is two bytes; U+1F600 is the surrogate pair D83D DE00, each half written as
        // its own three-byte sequence.
        PlacementCase{"NameOutsideTheBmp", 0, L"h\u00E9-\U0001F600.exe",
                      "68 C3 A9 2D ED A0 BD ED B8 80 2E 65 78 65 "}),
    [](const testing::TestParamInfo<PlacementCase> &info) { return info.param.name; });

// Wine reports the Windows version configured for a program in the registry, build number
// included (with its upper bits set, as Windows does), so each row runs the probes under
// another version. Wine only: Windows ignores the key.
struct WineVersionCase {
    const wchar_t *wineVersion;
    const char *expected;
};

class WineVersionTest : public testing::TestWithParam<WineVersionCase>
{
};

TEST_P(WineVersionTest, VersionTextFollowsTheReportedVersion)
{
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "needs Wine's per-program version setting";
    const WineVersionCase row = GetParam();
    TemporaryDirectory directory;
    const std::wstring name = std::wstring(L"version-") + row.wineVersion + L".exe";
    const std::wstring executable = copyFactsProgram(directory.path(), name);
    ASSERT_FALSE(executable.empty());
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + name;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, row.wineVersion,
                              static_cast<DWORD>((wcslen(row.wineVersion) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);

    const std::vector<std::string> facts = linesOf(executable);
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    ASSERT_EQ(facts.size(), kFactLines);
    EXPECT_EQ(facts[kOsVersionLine], row.expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, WineVersionTest,
                         testing::Values(WineVersionCase{L"winxp64", "WindowsServer2003_64"},
                                         WineVersionCase{L"vista", "WindowsVista_64"},
                                         WineVersionCase{L"win7", "Windows7_64"},
                                         WineVersionCase{L"win81", "Windows8.1_64"},
                                         WineVersionCase{L"win10", "Windows10_64"}),
                         [](const testing::TestParamInfo<WineVersionCase> &info) {
                             return platform::pathToBytes(info.param.wineVersion);
                         });

} // namespace

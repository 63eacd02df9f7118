// The probes of executables placed where a path is long or not ASCII, or run under another
// Windows version.
#include "platform/path_text.h"
#include "sysinfo/system_probes.h"
#include "test_files_win.h"

#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace
{

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

// Starts `executable` with its standard output on `output`, one level below CreateProcessW,
// which cannot start programs whose path is longer than MAX_PATH.
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

// The lines `executable` printed, its standard output going to the file `output`.
std::vector<std::string> linesOf(const std::wstring &executable, const std::wstring &output)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE process = startProcess(executable, file);
    CloseHandle(file);
    if (!process)
        return {"the process could not be created"};
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    std::ifstream printed{std::filesystem::path(output)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(printed, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

enum FactLine { kPathLine, kNameHexLine, kBuildNumberLine, kOsVersionLine, kFactLines };

// Wine reports the version the registry sets for a program (build number's upper bits set,
// as Windows does); each row runs the probes under another version there.
TEST(ExecutablePlacement, ProbesSeeTheWholePathTheNameTheBuildNumberBesideItAndTheVersion)
{
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    const struct {
        int nestingLevels; // each adds a directory of 60 characters
        std::wstring executableName, wineVersion;
        const char *expectedNameHex, *expectedVersion;
    } cases[] = {
        // Longer than the first buffers of 261 and 521 characters: read again into 781.
        {10, L"host.exe", L"win10", "68 6F 73 74 2E 65 78 65 ", "Windows10_64"},
        // U+1F600 is the surrogate pair D83D DE00, each half its own three-byte sequence.
        {0, L"h\u00E9-\U0001F600.exe", L"win7", "68 C3 A9 2D ED A0 BD ED B8 80 2E 65 78 65 ",
         "Windows7_64"},
    };
    const std::wstring test = getExecutablePath();
    const std::wstring factsProgram =
        test.substr(0, test.find_last_of(L'\\')) + L"\\executable_facts_win.exe";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expectedNameHex);
        TemporaryDirectory directory;
        std::wstring folder = directory.path();
        for (int level = 0; level < c.nestingLevels; ++level)
            folder += L"\\" + std::wstring(59, static_cast<wchar_t>(L'a' + level)) + L"-";
        std::filesystem::create_directories(longName(folder));
        const std::wstring executable = folder + L"\\" + c.executableName;
        ASSERT_TRUE(CopyFileW(factsProgram.c_str(), executable.c_str(), TRUE));
        ASSERT_TRUE(std::ofstream(longName(folder + L"\\fernlea.ini"), std::ios::binary)
                    << "[build_info]\r\norla_ci_build_number = 2024.7\r\n");
        const std::wstring key = L"Software\\Wine\\AppDefaults\\" + c.executableName;
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ,
                                  c.wineVersion.c_str(),
                                  DWORD((c.wineVersion.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        const std::vector<std::string> facts = linesOf(executable, directory / L"facts.txt");
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        ASSERT_EQ(facts.size(), kFactLines) << (facts.empty() ? "" : facts[0]);
        EXPECT_EQ(facts[kPathLine], platform::pathToBytes(executable));
        EXPECT_EQ(facts[kNameHexLine], c.expectedNameHex);
        EXPECT_EQ(facts[kBuildNumberLine], "2024.7");
        if (wine) {
            EXPECT_EQ(facts[kOsVersionLine], c.expectedVersion);
        }
    }
}

} // namespace

// The probes of executables placed where a path is long or not ASCII, or run under another
// Windows version.
#include "platform/path_text.h"
#include "sysinfo/system_probes.h"
#include "test_files_win.h"

#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <sstream>
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

// The lines `executable` printed.
std::vector<std::string> linesOf(const std::wstring &executable)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return {"CreatePipe failed"};
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
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

// A copy of executable_facts_win.exe; empty when it could not be made.
std::wstring copyFactsProgram(const std::wstring &folder, const std::wstring &name)
{
    const std::wstring test = getExecutablePath();
    const std::wstring source =
        test.substr(0, test.find_last_of(L'\\')) + L"\\executable_facts_win.exe";
    const std::wstring copy = folder + L"\\" + name;
    return createDirectories(folder) && CopyFileW(source.c_str(), copy.c_str(), TRUE) ? copy : L"";
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
        // Longer than the first buffer of 261 characters: read again into 521 (and 781).
        {5, L"host.exe", L"win7", "68 6F 73 74 2E 65 78 65 ", "Windows7_64"},
        {10, L"host.exe", L"win10", "68 6F 73 74 2E 65 78 65 ", "Windows10_64"},
        // U+1F600 is the surrogate pair D83D DE00, each half its own three-byte sequence.
        {0, L"h\u00E9-\U0001F600.exe", L"win7", "68 C3 A9 2D ED A0 BD ED B8 80 2E 65 78 65 ",
         "Windows7_64"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expectedNameHex);
        TemporaryDirectory directory;
        std::wstring folder = directory.path();
        for (int level = 0; level < c.nestingLevels; ++level)
            folder += L"\\" + std::wstring(59, static_cast<wchar_t>(L'a' + level)) + L"-";
        const std::wstring executable = copyFactsProgram(folder, c.executableName);
        ASSERT_FALSE(executable.empty());
        ASSERT_TRUE(writeFile(folder + L"\\fernlea.ini",
                              "[build_info]\r\norla_ci_build_number = 2024.7\r\n"));
        const std::wstring key = L"Software\\Wine\\AppDefaults\\" + c.executableName;
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ,
                                  c.wineVersion.c_str(),
                                  DWORD((c.wineVersion.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        const std::vector<std::string> facts = linesOf(executable);
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

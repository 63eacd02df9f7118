#include "platform/os_version.h"
#include "platform/system_info.h"

#include <windows.h>

namespace platform
{
namespace
{

// ntdll's own version numbers: unlike GetVersionEx they are not shimmed down for
// executables that lack a compatibility manifest.
using RtlGetNtVersionNumbersFunction = void(WINAPI *)(DWORD *, DWORD *, DWORD *);

constexpr DWORD kPathGrowth = 260;

} // namespace

bool readMemoryStatus(MemoryStatus &status)
{
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (!GlobalMemoryStatusEx(&memory))
        return false;
    status.totalPhysical = memory.ullTotalPhys;
    status.availablePhysical = memory.ullAvailPhys;
    return true;
}

std::uint16_t processorArchitecture()
{
    // As the calling process sees it, not the native architecture.
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.wProcessorArchitecture;
}

std::string osVersionText()
{
    DWORD major = 5;
    DWORD minor = 0;
    DWORD build = 0;
    if (const HMODULE ntdll = LoadLibraryW(L"ntdll.dll")) {
        const auto getVersion = reinterpret_cast<RtlGetNtVersionNumbersFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetNtVersionNumbers")));
        if (getVersion) {
            getVersion(&major, &minor, &build);
            build &= 0xFFFF; // the upper bits flag checked or free builds
        }
        FreeLibrary(ntdll);
    }
    return windowsVersionName(major, minor, build);
}

std::wstring executablePath()
{
    std::wstring buffer(kPathGrowth + 1, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        // A result that fills the buffer may have been cut.
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() + kPathGrowth);
    }
}

std::uint32_t currentProcessId()
{
    return GetCurrentProcessId();
}

} // namespace platform

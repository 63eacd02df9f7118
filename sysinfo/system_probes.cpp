// The probes that need neither Qt nor a JSON library.
#include "sysinfo/system_probes.h"

#include "base/utf8_text.h"
#include "platform/path_text.h"
#include "platform/system_info.h"

std::string getCpuType()
{
    switch (platform::processorArchitecture()) {
    case 0: return "x86";
    case 9: return "x64";
    case 12: return "arm64";
    default: return "unknown";
    }
}

std::string getOsVersion()
{
    static std::string cached;
    if (cached.empty())
        cached = platform::osVersionText();
    return cached;
}

std::string getOsBuild()
{
    return {};
}

std::wstring getExecutablePath()
{
    return platform::executablePath();
}

std::string getExecutableName()
{
    const std::wstring path = getExecutablePath();
    const std::size_t separator = path.find_last_of(L"/\\");
    const std::wstring name = separator == std::wstring::npos ? path : path.substr(separator + 1);
    return platform::pathsAreUtf16() ? wideToUtf8(name) : platform::pathToBytes(name);
}

std::string getProcessIdString()
{
    return std::to_string(platform::currentProcessId());
}

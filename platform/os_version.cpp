#include "platform/os_version.h"

#include <cstdio>

namespace platform
{

std::string windowsVersionName(std::uint32_t major, std::uint32_t minor, std::uint32_t build)
{
    const int code = static_cast<int>(major * 256 + minor);
    switch (code) {
    case 0x0500: return "Windows2000_64";
    case 0x0501: return "WindowsXP_64";
    case 0x0502: return "WindowsServer2003_64";
    case 0x0600: return "WindowsVista_64";
    case 0x0601: return "Windows7_64";
    case 0x0602: return "Windows8_64";
    case 0x0603: return "Windows8.1_64";
    case 0x0A00: return build < 22000 ? "Windows10_64" : "Windows11_64";
    default: break;
    }
    char text[24];
    std::snprintf(text, sizeof text, "%d_64", code);
    return text;
}

} // namespace platform

// Names of Windows versions as the reports carry them.
#pragma once

#include <cstdint>
#include <string>

namespace platform
{

// Maps an NT version (major, minor, build; build already cut to its low 16 bits) to the
// report text: "Windows10_64", "Windows11_64" from build 22000, "1540_64" for unknown
// versions, and so on.
std::string windowsVersionName(std::uint32_t major, std::uint32_t minor, std::uint32_t build);

} // namespace platform

// Facts about the machine and the current process.
#pragma once

#include <cstdint>
#include <string>

namespace platform
{

struct MemoryStatus {
    std::uint64_t totalPhysical = 0;
    std::uint64_t availablePhysical = 0;
};

// GlobalMemoryStatusEx / sysinfo + MemAvailable. False when the figures cannot be read.
bool readMemoryStatus(MemoryStatus &status);

// Processor architecture of the calling process with Windows' PROCESSOR_ARCHITECTURE_*
// codes: 0 x86, 9 AMD64, 12 ARM64; anything else is passed through unchanged.
std::uint16_t processorArchitecture();

// The operating system's version text, ending in "_64" (for example "Windows10_64" or
// "debian12_64"). Computed afresh; callers cache it.
std::string osVersionText();

// Full path of the process's executable (not of this library). Empty on failure.
// Linux: the kernel's bytes, one wchar_t per byte.
std::wstring executablePath();

std::uint32_t currentProcessId();

} // namespace platform

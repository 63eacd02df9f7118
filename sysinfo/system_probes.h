// Facts about the machine and the process, as the reports carry them.
#pragma once

#include <string>

// "x86", "x64", "arm64" or "unknown".
std::string getCpuType();
// Cached after the first call, e.g. "Windows10_64" or "debian12_64".
std::string getOsVersion();
// Always "".
std::string getOsBuild();
std::wstring getExecutablePath();
// File name of the executable with its extension, as report text.
std::string getExecutableName();
std::string getProcessIdString();

// The GUID that names a cached report's directory. Only what a GUID can hold is taken as a
// name: on Windows "C:x", "..\x", "\\?\..." and "CON" are paths or devices, not names.
#pragma once

#include <string>

namespace cache
{

// True for 1 to 128 characters, each a hexadecimal digit, '-', '{' or '}'.
bool isSafeReportGuid(const std::string &guid);
// `guid` when it is safe, else a new random GUID in RFC 4122 form (version 4). The caller
// uses the result for both the event and the cache directory.
std::string safeReportGuid(std::string guid);

} // namespace cache

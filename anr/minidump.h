#pragma once

#include "platform/process_dump.h"

#include <cstdint>

// Calls the platform's MiniDumpWriteDump on `file`; a fault inside it is logged
// ("anr dump create failed with access violation.") and gives false.
bool callMiniDumpWriteDump(platform::EntryPoint miniDumpWriteDump, platform::FileHandle file,
                           std::uint32_t dumpType);

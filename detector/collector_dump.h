#pragma once

#include "platform/process_dump.h"

// Writes a minidump of the process into `file` with the platform's dump writer; a fault
// inside it is logged ("anr dump create failed with access violation.") and gives false.
bool callMiniDumpWriteDump(platform::FileHandle file);

// Logs why the last capture (sample or dump) was taken inside the process, once for each new
// reason.
void logCaptureFallback();

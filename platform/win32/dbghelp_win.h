// dbghelp.dll, loaded at run time: the stack walker and MiniDumpWriteDump. Its function
// pointers stay inside platform/win32.
#pragma once

#include <windows.h>

#include <dbghelp.h>

namespace platform
{

// Windows' stack walker: StackWalk64 and the two callbacks through which it finds unwind
// tables and module bases.
struct StackSampler {
    decltype(&StackWalk64) stackWalk64 = nullptr;
    PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess = nullptr;
    PGET_MODULE_BASE_ROUTINE64 moduleBase = nullptr;
};

namespace win32_impl
{

struct Dbghelp {
    decltype(&MiniDumpWriteDump) miniDumpWriteDump = nullptr;
    StackSampler sampler;
};

// Loads dbghelp.dll once per process and resolves its entry points, each null when missing.
// Null while the library cannot be loaded; the next call tries again. Thread-safe.
const Dbghelp *loadDbghelp();

} // namespace win32_impl
} // namespace platform

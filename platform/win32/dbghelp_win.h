// dbghelp.dll, loaded at run time for the in-process dump, written only when the dump helper
// is missing. Its function pointers stay inside platform/win32.
#pragma once

#include <windows.h>

#include <dbghelp.h>

namespace platform::win32_impl
{

struct Dbghelp {
    decltype(&MiniDumpWriteDump) miniDumpWriteDump = nullptr;
};

// Loads dbghelp.dll once per process and resolves MiniDumpWriteDump (null when missing).
// Null while the library cannot be loaded; the next call tries again. Thread-safe.
const Dbghelp *loadDbghelp();

} // namespace platform::win32_impl

#include "platform/debug_library.h"

#include <windows.h>

namespace platform
{
namespace
{

EntryPoint entryPoint(HMODULE module, const char *name)
{
    return reinterpret_cast<EntryPoint>(GetProcAddress(module, name));
}

} // namespace

ModuleHandle loadDebugLibrary(DebugEntryPoints &entryPoints)
{
    entryPoints = {};
    // The bare name lets the system's library search order pick the copy.
    const HMODULE module = LoadLibraryA("dbghelp.dll");
    if (!module)
        return nullptr;
    entryPoints.miniDumpWriteDump = entryPoint(module, "MiniDumpWriteDump");
    entryPoints.stackWalk64 = entryPoint(module, "StackWalk64");
    entryPoints.symFunctionTableAccess64 = entryPoint(module, "SymFunctionTableAccess64");
    entryPoints.symGetModuleBase64 = entryPoint(module, "SymGetModuleBase64");
    return module;
}

} // namespace platform

// The platform's debugging support, loaded once at run time.
//
// Windows: dbghelp.dll with MiniDumpWriteDump, StackWalk64, SymFunctionTableAccess64 and
// SymGetModuleBase64. Linux: this library's own sampler and dump writer, usable once the
// sampling signal handler is installed.
#pragma once

namespace platform
{

using ModuleHandle = void *;
// Entry points are carried untyped; the backend that produced them casts them back.
using EntryPoint = void (*)();

struct DebugEntryPoints {
    EntryPoint miniDumpWriteDump = nullptr;
    EntryPoint stackWalk64 = nullptr;
    EntryPoint symFunctionTableAccess64 = nullptr;
    EntryPoint symGetModuleBase64 = nullptr;
};

// Loads the library and resolves its entry points (null for missing ones). Returns null,
// with every entry point null, when loading failed; the caller may try again later.
// Not thread-safe: the caller serialises calls (the collector's mutex).
ModuleHandle loadDebugLibrary(DebugEntryPoints &entryPoints);

} // namespace platform

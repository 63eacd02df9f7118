// Wine's dbghelp walks the stacks of a process only once its symbol handler knows the process
// and its modules (without SymInitialize, StackWalk64 fails with ERROR_INVALID_HANDLE). The
// library never initialises the symbol handler, so under Wine its own samples are empty;
// tests and the timing tool register the process here to exercise the walk itself.
#pragma once

#include <windows.h>

#include <dbghelp.h>

// Once per process; true when the process is registered.
inline bool registerProcessWithSymbolHandler()
{
    static const bool registered = [] {
        const HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
        const auto symInitialize = reinterpret_cast<decltype(&SymInitialize)>(
            reinterpret_cast<void (*)()>(GetProcAddress(dbghelp, "SymInitialize")));
        return symInitialize && symInitialize(GetCurrentProcess(), nullptr, TRUE);
    }();
    return registered;
}

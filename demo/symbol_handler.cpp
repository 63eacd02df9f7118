#include "symbol_handler.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: dbghelp.h needs its types.
#include <dbghelp.h>

void registerWithSymbolHandler()
{
    SymInitialize(GetCurrentProcess(), nullptr, TRUE);
}
#else
void registerWithSymbolHandler() {}
#endif

#pragma once

// On Windows, registers this process with dbghelp's symbol handler, as a Windows host that
// wants its hangs' stacks walked does: the module leaves that choice to the host, and Wine's
// dbghelp walks no stack of an unregistered process. Does nothing elsewhere.
void registerWithSymbolHandler();

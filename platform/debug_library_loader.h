// Loading the debugging support once per process, safe to call from any thread.
#pragma once

#include "platform/debug_library.h"

#include <atomic>
#include <mutex>

namespace platform
{

using DebugLibraryLoadFunction = ModuleHandle (*)(DebugEntryPoints &);

// Returns `module`, loading the library with `load` under `mutex` while it is still null.
// A failed load leaves `module` and `entryPoints` null, and the next call tries again; a
// successful load is never repeated, even when some entry points were missing.
// `module` is tested without the lock first. It is published after the entry points, with
// release ordering, so a caller that sees it set also sees the entry points.
ModuleHandle loadDebugLibraryOnce(std::atomic<ModuleHandle> &module, DebugEntryPoints &entryPoints,
                                  std::mutex &mutex,
                                  DebugLibraryLoadFunction load = loadDebugLibrary);

} // namespace platform

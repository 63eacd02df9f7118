#include "platform/debug_library_loader.h"

namespace platform
{

ModuleHandle loadDebugLibraryOnce(std::atomic<ModuleHandle> &module, DebugEntryPoints &entryPoints,
                                  std::mutex &mutex, DebugLibraryLoadFunction load)
{
    if (ModuleHandle loaded = module.load(std::memory_order_acquire))
        return loaded;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!module.load(std::memory_order_relaxed)) {
        DebugEntryPoints resolved;
        if (ModuleHandle loaded = load(resolved)) {
            entryPoints = resolved;
            module.store(loaded, std::memory_order_release);
        }
    }
    return module.load(std::memory_order_relaxed);
}

} // namespace platform

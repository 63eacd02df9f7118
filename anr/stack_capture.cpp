#include "anr/anr_collector.h"
#include "platform/stack_capture.h"

platform::ModuleHandle ANRCollector::loadDbgHelp()
{
    if (platform::ModuleHandle module = dbghelpModule.load(std::memory_order_acquire))
        return module;
    std::lock_guard<std::mutex> lock(dbghelpMutex);
    if (!dbghelpModule.load(std::memory_order_relaxed)) {
        platform::DebugEntryPoints loaded;
        if (platform::ModuleHandle module = platform::loadDebugLibrary(loaded)) {
            debugEntryPoints = loaded;
            dbghelpModule.store(module, std::memory_order_release);
        }
    }
    return dbghelpModule.load(std::memory_order_relaxed);
}

std::vector<std::uint64_t> ANRCollector::captureMainThreadStack()
{
    loadDbgHelp();
    return platform::captureThreadStack(debugEntryPoints, mainThread);
}

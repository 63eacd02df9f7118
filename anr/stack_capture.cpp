#include "platform/stack_sampler.h"
#include "anr/anr_collector.h"
#include "platform/debug_library_loader.h"

platform::ModuleHandle ANRCollector::loadDbgHelp()
{
    return platform::loadDebugLibraryOnce(dbghelpModule, debugEntryPoints, dbghelpMutex);
}

std::vector<std::uint64_t> ANRCollector::captureMainThreadStack()
{
    loadDbgHelp();
    return platform::captureThreadStack(debugEntryPoints, mainThread);
}

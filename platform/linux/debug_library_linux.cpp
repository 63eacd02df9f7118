// Linux's "debugging support" is this library's own sampler (libunwind, loaded at run time,
// walking inside a signal handler) and its own minidump writer.
#include "platform/debug_library.h"
#include "platform/linux/capture/dump_writer_linux.h"
#include "platform/linux/sampling/thread_sampler_linux.h"

namespace platform
{

ModuleHandle loadDebugLibrary(DebugEntryPoints &entryPoints)
{
    entryPoints = {};
    ModuleHandle unwindLibrary = linux_impl::installThreadSampler();
    if (!unwindLibrary)
        return nullptr;
    entryPoints.stackWalk64 = reinterpret_cast<EntryPoint>(&linux_impl::sampleThreadStack);
    entryPoints.miniDumpWriteDump = reinterpret_cast<EntryPoint>(&linux_impl::writeMinidump);
    // symFunctionTableAccess64 and symGetModuleBase64 are the callbacks through which
    // Windows' StackWalk64 finds unwind tables and module bases; libunwind finds both itself,
    // so they stay null here.
    return unwindLibrary;
}

} // namespace platform

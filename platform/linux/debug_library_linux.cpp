// PLACEHOLDER until the Linux sampler lands: reports the debugging support as not loadable,
// which makes every sample and dump an empty result.
#include "platform/debug_library.h"

namespace platform {

ModuleHandle loadDebugLibrary(DebugEntryPoints &entryPoints)
{
    entryPoints = {};
    return nullptr;
}

} // namespace platform

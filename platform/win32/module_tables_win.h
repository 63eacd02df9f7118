// The unwind tables of the modules that sampled stacks run through, found without the
// loader: a module is known by its image mapping (VirtualQuery) and its table is read from
// its own headers. Each module is pinned (its reference count raised, never lowered) the
// first time a walk meets it, so it cannot be unloaded while a later walk reads its tables.
#pragma once

#include <windows.h>

#include <mutex>
#include <vector>

namespace platform::win32_impl
{

struct ModuleTable {
    DWORD64 base = 0;
    DWORD64 end = 0;
    const RUNTIME_FUNCTION *functions = nullptr;
    DWORD count = 0;
};

class ModuleTables
{
public:
    // Fills `table` with the pinned module that holds `pc`, pinning it first if needed. False
    // for an address outside any image, and while another thread holds the loader's lock and
    // the module is not pinned yet: pinning would then wait for the loader, which a walk never
    // does (the sampled thread may be the one holding it, stuck in a DllMain).
    bool find(DWORD64 pc, ModuleTable &table);

    // The function entry covering `pc` in `module`, null for a leaf function (one without
    // entry, whose return address is at the stack pointer).
    static const RUNTIME_FUNCTION *functionEntry(const ModuleTable &module, DWORD64 pc);

private:
    static bool pin(DWORD64 pc, ModuleTable &table);

    std::mutex mutex_;
    std::vector<ModuleTable> modules_;
};

} // namespace platform::win32_impl

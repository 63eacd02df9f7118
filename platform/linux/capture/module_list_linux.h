// The module list of a dump: the ELF objects mapped into the process, found in its maps.
#pragma once

#include "minidump/model.h"
#include "platform/linux/capture/dump_memory_linux.h"
#include "platform/linux/capture/proc_files_linux.h"

#include <cstdint>
#include <vector>

namespace platform::linux_impl
{

// One module per ELF object mapped from offset 0 of a file (or the vDSO, named
// "linux-gate.so" as Breakpad names it): its base is that mapping, its size reaches to the end
// of the object's last mapping before another file's. Mappings of non-ELF files (fonts,
// locale data) are left out. Address order, except that the module holding `entryPoint` (the
// executable) comes first, where LLDB looks for it.
std::vector<minidump::DumpModule> collectModules(const std::vector<MapsEntry> &maps,
                                                 const MemoryReader &memory,
                                                 std::uint64_t entryPoint);

} // namespace platform::linux_impl

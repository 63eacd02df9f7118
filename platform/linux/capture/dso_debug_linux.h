// The DSO debug stream's content: the dynamic linker's r_debug and its link_map chain, as
// a debugger finds them through the executable's DT_DEBUG entry.
#pragma once

#include "minidump/model.h"
#include "platform/linux/capture/dump_memory_linux.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::linux_impl
{

// `programHeaders` and `count` are the executable's (AT_PHDR, AT_PHNUM). nullopt when it has
// no dynamic section or the dynamic linker has not filled in DT_DEBUG. Every read goes
// through `memory`, so a chain changed by a concurrent dlopen gives odd entries, never a
// fault.
std::optional<minidump::DsoDebugInfo> readDsoDebug(const MemoryReader &memory,
                                                   std::uint64_t programHeaders, std::size_t count);

} // namespace platform::linux_impl

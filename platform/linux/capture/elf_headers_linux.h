// Reading the headers of ELF objects as they are loaded in memory (not from their files,
// which may have been replaced on disk since).
#pragma once

#include "platform/linux/capture/dump_memory_linux.h"

#include <cstdint>
#include <elf.h>
#include <optional>
#include <vector>

namespace platform::linux_impl
{

struct LoadedElf {
    // What was added to every p_vaddr when the object was mapped.
    std::uint64_t loadBias = 0;
    std::vector<Elf64_Phdr> programHeaders;
};

// The 64-bit ELF object whose header is mapped at `base`; nullopt when `base` holds no such
// header or its program headers cannot be read.
std::optional<LoadedElf> readLoadedElf(const MemoryReader &memory, std::uint64_t base);

// `count` program headers at `address` (AT_PHDR); empty when they cannot be read.
std::vector<Elf64_Phdr> readProgramHeaders(const MemoryReader &memory, std::uint64_t address,
                                           std::size_t count);

// The payload of the object's NT_GNU_BUILD_ID note; empty when it has none.
std::vector<std::uint8_t> readBuildId(const MemoryReader &memory, const LoadedElf &elf);

} // namespace platform::linux_impl

#include "platform/linux/capture/dso_debug_linux.h"

#include "platform/linux/capture/elf_headers_linux.h"

#include <algorithm>
#include <cstring>
#include <link.h>

namespace platform::linux_impl
{

using minidump::DsoDebugInfo;
using minidump::LinkMapEntry;

namespace
{

// Bounds against a corrupt or cyclic chain.
constexpr std::size_t kMaxDynamicEntries = 1024;
constexpr std::size_t kMaxLinkMapEntries = 4096;
constexpr std::size_t kMaxNameLength = 4096;

std::string readCString(const MemoryReader &memory, std::uint64_t address)
{
    if (address == 0)
        return {};
    char buffer[kMaxNameLength];
    const std::size_t got = memory.read(address, buffer, sizeof buffer);
    return std::string(buffer, std::find(buffer, buffer + got, '\0'));
}

// The dynamic entries up to and including DT_NULL; empty when DT_NULL is not found.
std::vector<Elf64_Dyn> readDynamic(const MemoryReader &memory, std::uint64_t address)
{
    std::vector<Elf64_Dyn> entries;
    for (std::size_t i = 0; i < kMaxDynamicEntries; ++i) {
        Elf64_Dyn entry;
        if (!memory.readExactly(address + i * sizeof entry, &entry, sizeof entry))
            return {};
        entries.push_back(entry);
        if (entry.d_tag == DT_NULL)
            return entries;
    }
    return {};
}

std::vector<LinkMapEntry> readLinkMap(const MemoryReader &memory, std::uint64_t first)
{
    std::vector<LinkMapEntry> entries;
    for (std::uint64_t at = first; at != 0 && entries.size() < kMaxLinkMapEntries;) {
        link_map node;
        if (!memory.readExactly(at, &node, sizeof node))
            break;
        entries.push_back({node.l_addr,
                           readCString(memory, reinterpret_cast<std::uint64_t>(node.l_name)),
                           reinterpret_cast<std::uint64_t>(node.l_ld)});
        at = reinterpret_cast<std::uint64_t>(node.l_next);
    }
    return entries;
}

} // namespace

std::optional<DsoDebugInfo> readDsoDebug(const MemoryReader &memory, std::uint64_t programHeaders,
                                         std::size_t count)
{
    const std::vector<Elf64_Phdr> headers = readProgramHeaders(memory, programHeaders, count);
    const auto find = [&](std::uint32_t type) {
        return std::find_if(headers.begin(), headers.end(),
                            [type](const Elf64_Phdr &h) { return h.p_type == type; });
    };
    const auto self = find(PT_PHDR);
    const auto dynamicSegment = find(PT_DYNAMIC);
    if (self == headers.end() || dynamicSegment == headers.end())
        return std::nullopt;

    DsoDebugInfo info;
    info.dynamicAddress = programHeaders - self->p_vaddr + dynamicSegment->p_vaddr;
    const std::vector<Elf64_Dyn> dynamic = readDynamic(memory, info.dynamicAddress);
    const auto debugEntry = std::find_if(dynamic.begin(), dynamic.end(),
                                         [](const Elf64_Dyn &d) { return d.d_tag == DT_DEBUG; });
    r_debug debug;
    if (debugEntry == dynamic.end() || debugEntry->d_un.d_ptr == 0 ||
        !memory.readExactly(debugEntry->d_un.d_ptr, &debug, sizeof debug))
        return std::nullopt;

    info.version = static_cast<std::uint32_t>(debug.r_version);
    info.brk = debug.r_brk;
    info.ldBase = debug.r_ldbase;
    info.dynamic.resize(dynamic.size() * sizeof(Elf64_Dyn));
    std::memcpy(info.dynamic.data(), dynamic.data(), info.dynamic.size());
    info.linkMap = readLinkMap(memory, reinterpret_cast<std::uint64_t>(debug.r_map));
    return info;
}

} // namespace platform::linux_impl

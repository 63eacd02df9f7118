#include "platform/linux/capture/module_list_linux.h"

#include "platform/linux/capture/elf_headers_linux.h"

#include <algorithm>
#include <limits>

namespace platform::linux_impl
{

using minidump::DumpModule;

namespace
{

constexpr char kVdsoMapping[] = "[vdso]";
constexpr char kVdsoModuleName[] = "linux-gate.so";

bool sameFile(const MapsEntry &a, const MapsEntry &b)
{
    return a.path == b.path && a.inode == b.inode;
}

bool canStartModule(const MapsEntry &entry)
{
    if (entry.offset != 0 || !entry.readable || entry.path.empty())
        return false;
    return entry.path.front() == '/' || entry.path == kVdsoMapping;
}

// End of the object that starts at maps[first]: its own later mappings, and single anonymous
// gaps between two of them (the linker's alignment holes), but not the .bss after the last.
std::uint64_t moduleEnd(const std::vector<MapsEntry> &maps, std::size_t first)
{
    std::uint64_t end = maps[first].end;
    for (std::size_t i = first + 1; i < maps.size(); ++i) {
        if (sameFile(maps[i], maps[first]))
            end = maps[i].end;
        else if (!(maps[i].path.empty() && i + 1 < maps.size() &&
                   sameFile(maps[i + 1], maps[first])))
            break;
    }
    return end;
}

} // namespace

std::vector<DumpModule> collectModules(const std::vector<MapsEntry> &maps,
                                       const MemoryReader &memory, std::uint64_t entryPoint)
{
    std::vector<DumpModule> modules;
    for (std::size_t i = 0; i < maps.size(); ++i) {
        if (!canStartModule(maps[i]))
            continue;
        const std::optional<LoadedElf> elf = readLoadedElf(memory, maps[i].start);
        const std::uint64_t size = moduleEnd(maps, i) - maps[i].start;
        if (!elf || size > std::numeric_limits<std::uint32_t>::max())
            continue;
        DumpModule module;
        module.base = maps[i].start;
        module.size = size;
        module.path = maps[i].path == kVdsoMapping ? kVdsoModuleName : maps[i].path;
        module.buildId = readBuildId(memory, *elf);
        modules.push_back(std::move(module));
    }
    const auto executable = std::find_if(modules.begin(), modules.end(), [&](const DumpModule &m) {
        return entryPoint >= m.base && entryPoint - m.base < m.size;
    });
    if (executable != modules.end())
        std::rotate(modules.begin(), executable, executable + 1);
    return modules;
}

} // namespace platform::linux_impl

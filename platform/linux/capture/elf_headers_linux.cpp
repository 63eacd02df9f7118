#include "platform/linux/capture/elf_headers_linux.h"

#include <algorithm>
#include <cstring>

namespace platform::linux_impl
{
namespace
{

// Bounds against corrupt headers: real objects have a few dozen program headers, a few
// hundred bytes of notes and build ids of 16 to 64 bytes.
constexpr std::size_t kMaxProgramHeaders = 256;
constexpr std::size_t kMaxNoteSegment = 64 * 1024;
constexpr std::size_t kMaxBuildId = 256;
constexpr char kGnuNoteName[] = "GNU";

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

struct NotePayload {
    std::size_t offset = 0;
    std::size_t size = 0;
};

// Where the GNU build id note's payload lies in `notes`; size 0 when it is not there.
NotePayload findBuildIdNote(const std::vector<std::uint8_t> &notes, std::uint64_t alignment)
{
    std::uint64_t at = 0;
    while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
        Elf64_Nhdr header;
        std::memcpy(&header, notes.data() + at, sizeof header);
        // Name and description each start at an offset aligned as the segment is.
        const std::uint64_t nameAt = at + sizeof header;
        const std::uint64_t descAt = alignUp(nameAt + header.n_namesz, alignment);
        const std::uint64_t next = alignUp(descAt + header.n_descsz, alignment);
        if (descAt + header.n_descsz > notes.size())
            break;
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == sizeof kGnuNoteName &&
            std::memcmp(notes.data() + nameAt, kGnuNoteName, sizeof kGnuNoteName) == 0 &&
            header.n_descsz > 0 && header.n_descsz <= kMaxBuildId) {
            return {descAt, header.n_descsz};
        }
        at = next;
    }
    return {};
}

} // namespace

std::vector<Elf64_Phdr> readProgramHeaders(const MemoryReader &memory, std::uint64_t address,
                                           std::size_t count)
{
    if (count == 0 || count > kMaxProgramHeaders)
        return {};
    std::vector<Elf64_Phdr> headers(count);
    if (!memory.readExactly(address, headers.data(), count * sizeof(Elf64_Phdr)))
        return {};
    return headers;
}

std::optional<LoadedElf> readLoadedElf(const MemoryReader &memory, std::uint64_t base)
{
    Elf64_Ehdr header;
    if (!memory.readExactly(base, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr))
        return std::nullopt;

    LoadedElf elf;
    elf.programHeaders = readProgramHeaders(memory, base + header.e_phoff, header.e_phnum);
    const auto firstLoad =
        std::find_if(elf.programHeaders.begin(), elf.programHeaders.end(),
                     [](const Elf64_Phdr &segment) { return segment.p_type == PT_LOAD; });
    if (firstLoad == elf.programHeaders.end())
        return std::nullopt;
    // The header is mapped at the start of the first loadable segment's page.
    const std::uint64_t pageMask = ~std::uint64_t{0xFFF};
    elf.loadBias = base - (firstLoad->p_vaddr & pageMask);
    return elf;
}

std::vector<std::uint8_t> readBuildId(const MemoryReader &memory, const LoadedElf &elf)
{
    for (const Elf64_Phdr &segment : elf.programHeaders) {
        if (segment.p_type != PT_NOTE || segment.p_memsz == 0 || segment.p_memsz > kMaxNoteSegment)
            continue;
        std::vector<std::uint8_t> notes(segment.p_memsz);
        notes.resize(memory.read(elf.loadBias + segment.p_vaddr, notes.data(), notes.size()));
        const NotePayload buildId = findBuildIdNote(notes, segment.p_align == 8 ? 8 : 4);
        if (buildId.size > 0) {
            const auto first = notes.cbegin() + static_cast<std::ptrdiff_t>(buildId.offset);
            return std::vector<std::uint8_t>(first,
                                             first + static_cast<std::ptrdiff_t>(buildId.size));
        }
    }
    return {};
}

} // namespace platform::linux_impl

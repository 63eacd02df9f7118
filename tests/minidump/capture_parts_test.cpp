// The pure parts of the capture, on made-up input: maps and stat parsing, the stack range
// chosen for a stack pointer, register conversion, build ids and the module list.
#include "platform/linux/minidump_context_linux.h"
#include "platform/linux/minidump_elf_linux.h"
#include "platform/linux/minidump_memory_linux.h"
#include "platform/linux/minidump_modules_linux.h"
#include "platform/linux/minidump_proc_linux.h"
#include "platform/linux/minidump_thread_freezer_linux.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <sys/mman.h>

namespace
{

using namespace platform::linux_impl;

// ---- /proc text ----

struct MapsLineCase {
    const char *name;
    std::string line;
    std::optional<MapsEntry> expected; // nullopt: the line is left out
};

MapsEntry entry(std::uint64_t start, std::uint64_t end, std::uint64_t offset, std::uint64_t inode,
                const char *permissions, std::string path)
{
    MapsEntry e;
    e.start = start;
    e.end = end;
    e.offset = offset;
    e.inode = inode;
    e.readable = permissions[0] == 'r';
    e.executable = permissions[2] == 'x';
    e.path = std::move(path);
    return e;
}

class MapsLine : public testing::TestWithParam<MapsLineCase>
{
};

TEST_P(MapsLine, ParsesOrIsLeftOut)
{
    const MapsLineCase &c = GetParam();
    const std::vector<MapsEntry> entries = parseMaps(c.line + "\n");
    ASSERT_EQ(c.expected ? 1u : 0u, entries.size());
    if (!c.expected)
        return;
    EXPECT_EQ(c.expected->start, entries[0].start);
    EXPECT_EQ(c.expected->end, entries[0].end);
    EXPECT_EQ(c.expected->offset, entries[0].offset);
    EXPECT_EQ(c.expected->inode, entries[0].inode);
    EXPECT_EQ(c.expected->readable, entries[0].readable);
    EXPECT_EQ(c.expected->executable, entries[0].executable);
    EXPECT_EQ(c.expected->path, entries[0].path);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MapsLine,
    testing::Values(
        MapsLineCase{
            "Library", "7f1c2a000000-7f1c2a022000 r-xp 00028000 fe:01 1311 /usr/lib/libc.so.6",
            entry(0x7f1c2a000000, 0x7f1c2a022000, 0x28000, 1311, "r-xp", "/usr/lib/libc.so.6")},
        MapsLineCase{"Anonymous", "7f00-8f00 rw-p 00000000 00:00 0 ",
                     entry(0x7f00, 0x8f00, 0, 0, "rw-p", "")},
        MapsLineCase{"PathWithSpacesAndDeleted",
                     "1000-2000 r--p 00000000 08:01 7     /tmp/my dir/lib x.so (deleted)",
                     entry(0x1000, 0x2000, 0, 7, "r--p", "/tmp/my dir/lib x.so (deleted)")},
        MapsLineCase{"PseudoName", "7ffc000-7ffd000 rw-p 00000000 00:00 0  [stack]",
                     entry(0x7ffc000, 0x7ffd000, 0, 0, "rw-p", "[stack]")},
        MapsLineCase{"GuardPage", "1000-2000 ---p 00000000 00:00 0",
                     entry(0x1000, 0x2000, 0, 0, "---p", "")},
        MapsLineCase{"EndBeforeStart", "2000-1000 r--p 00000000 00:00 0", std::nullopt},
        MapsLineCase{"NoDash", "1000 2000 r--p 00000000 00:00 0", std::nullopt},
        MapsLineCase{"CutShort", "1000-2000 r--p 0000", std::nullopt},
        MapsLineCase{"Empty", "", std::nullopt}),
    [](const testing::TestParamInfo<MapsLineCase> &info) { return info.param.name; });

TEST(Maps, FindMappingHitsOnlyInsideAMapping)
{
    const std::vector<MapsEntry> maps = parseMaps("1000-2000 r--p 00000000 00:00 0\n"
                                                  "3000-5000 r--p 00000000 00:00 0\n");
    EXPECT_EQ(nullptr, findMapping(maps, 0xfff));
    EXPECT_EQ(0x1000u, findMapping(maps, 0x1000)->start);
    EXPECT_EQ(0x1000u, findMapping(maps, 0x1fff)->start);
    EXPECT_EQ(nullptr, findMapping(maps, 0x2000));
    EXPECT_EQ(0x3000u, findMapping(maps, 0x4fff)->start);
    EXPECT_EQ(nullptr, findMapping(maps, 0x5000));
    EXPECT_EQ(nullptr, findMapping({}, 0x1000));
}

TEST(ProcStat, ArgumentStringsStartIsField48EvenWhenTheNameHoldsSpacesAndParentheses)
{
    const std::string fields =
        " S 1 2 3 0 -1 4194304 102 0 0 0 0 0 0 0 20 0 1 0 142101 3133440 413 "
        "18446744073709551615 94800208338944 94800208358825 140731004726624 0 0 0 0 0 "
        "0 0 0 0 17 1 0 0 0 0 0 94800208374832 94800208376448 94800876523520 "
        "140731004733895 140731004733915 140731004733915 140731004735467 0\n";
    EXPECT_EQ(std::optional<std::uint64_t>(140731004733895),
              argumentStringsStart("4242 (app) " + fields));
    EXPECT_EQ(std::optional<std::uint64_t>(140731004733895),
              argumentStringsStart("4242 (a) b (c) " + fields));
    EXPECT_EQ(std::nullopt, argumentStringsStart("4242 (app) S 1 2 3"));
    EXPECT_EQ(std::nullopt, argumentStringsStart("garbage"));
}

// ---- Reading this process's memory ----

// Three pages: readable, inaccessible, readable.
class OwnMemory : public testing::Test
{
protected:
    OwnMemory()
    {
        pages = static_cast<std::uint8_t *>(
            mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(pages, 0x5A, 3 * kPage);
        mprotect(pages + kPage, kPage, PROT_NONE);
    }
    ~OwnMemory() override { munmap(pages, 3 * kPage); }

    std::uint64_t at(std::size_t offset) const
    {
        return reinterpret_cast<std::uint64_t>(pages + offset);
    }

    static constexpr std::size_t kPage = 4096;
    std::uint8_t *pages = nullptr;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(3 * kPage, 0);
};

TEST_F(OwnMemory, AnInaccessiblePageEndsTheReadInsteadOfFaulting)
{
    const OwnProcessMemory memory;
    EXPECT_EQ(kPage, memory.read(at(0), buffer.data(), 3 * kPage)) << "stops at the guard page";
    EXPECT_EQ(std::vector<std::uint8_t>(kPage, 0x5A),
              std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + kPage));
    EXPECT_EQ(100u, memory.read(at(kPage - 100), buffer.data(), 500));
    EXPECT_EQ(0u, memory.read(at(kPage + 8), buffer.data(), 16)) << "starts inside it";
    EXPECT_EQ(kPage, memory.read(at(2 * kPage), buffer.data(), kPage));
    EXPECT_EQ(0u, memory.read(0x10, buffer.data(), 16)) << "unmapped";
    EXPECT_TRUE(memory.readExactly(at(10), buffer.data(), 20));
    EXPECT_FALSE(memory.readExactly(at(kPage - 10), buffer.data(), 20));
}

TEST(DumpArena, HandsOutAlignedZeroedMemoryUntilItIsFull)
{
    std::optional<DumpArena> arena = DumpArena::reserve(8192);
    ASSERT_TRUE(arena);
    auto *first = static_cast<std::uint8_t *>(arena->allocate(3, 1));
    auto *second = static_cast<std::uint8_t *>(arena->allocate(100, 64));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(second) % 64);
    EXPECT_GE(second, first + 3);
    EXPECT_EQ(std::vector<std::uint8_t>(100, 0), std::vector<std::uint8_t>(second, second + 100));
    EXPECT_EQ(nullptr, arena->allocate(arena->remaining() + 1, 1));
    EXPECT_NE(nullptr, arena->allocate(arena->remaining(), 1));
    EXPECT_EQ(0u, arena->remaining());
    EXPECT_EQ(
        0u, OwnProcessMemory().read(reinterpret_cast<std::uint64_t>(arena->guardPage()), first, 1))
        << "the page after the arena is inaccessible";
}

// ---- The stack range of a thread ----

struct StackRangeCase {
    const char *name;
    std::uint64_t sp;
    std::size_t maxBytes;
    std::uint64_t ceiling;
    std::uint64_t start;
    std::size_t size;
};

class StackRangeFor : public testing::TestWithParam<StackRangeCase>
{
};

constexpr std::uint64_t kNoCeiling = ~std::uint64_t{0};

TEST_P(StackRangeFor, CoversTheRedZoneAndStaysInsideTheMapping)
{
    const std::vector<MapsEntry> maps = parseMaps("10000000-10100000 rw-p 00000000 00:00 0\n");
    const StackRangeCase &c = GetParam();
    const StackRange range = stackRangeFor(c.sp, maps, c.maxBytes, c.ceiling);
    EXPECT_EQ(c.start, range.start);
    EXPECT_EQ(c.size, range.size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StackRangeFor,
    testing::Values(
        // sp - 128 crosses into the page below.
        StackRangeCase{"RedZoneReachesThePageBelow", 0x10080040, 1 << 20, kNoCeiling, 0x1007F000,
                       0x81000},
        StackRangeCase{"NeverBelowTheMapping", 0x10000010, 1 << 20, kNoCeiling, 0x10000000,
                       0x100000},
        StackRangeCase{"CappedAtMaxBytes", 0x10000800, 0x8000, kNoCeiling, 0x10000000, 0x8000},
        StackRangeCase{"StopsBelowTheArgumentStrings", 0x100F0000, 1 << 20, 0x100F8000, 0x100EF000,
                       0x9000},
        StackRangeCase{"ACeilingBelowSpIsAnotherThreadsConcern", 0x10080040, 1 << 20, 0x10000100,
                       0x1007F000, 0x81000},
        StackRangeCase{"UnknownMappingTakesMaxBytes", 0x20000100, 0x4000, kNoCeiling, 0x20000000,
                       0x4000}),
    [](const testing::TestParamInfo<StackRangeCase> &info) { return info.param.name; });

// ---- Registers ----

struct RegisterCase {
    const char *name;
    int greg;
    std::size_t contextOffset;
};

class RegisterConversion : public testing::TestWithParam<RegisterCase>
{
};

TEST_P(RegisterConversion, LandsAtItsContextOffset)
{
    SavedRegisters saved;
    for (int i = 0; i < NGREG; ++i)
        saved.gregs[i] = 0x1111'0000'0000 + i; // each register distinct
    const format::ContextAmd64 context = contextFromRegisters(saved);
    std::uint64_t value = 0;
    std::memcpy(&value, reinterpret_cast<const char *>(&context) + GetParam().contextOffset, 8);
    EXPECT_EQ(static_cast<std::uint64_t>(saved.gregs[GetParam().greg]), value);
}

INSTANTIATE_TEST_SUITE_P(
    Gregs, RegisterConversion,
    testing::Values(RegisterCase{"Rax", REG_RAX, 0x78}, RegisterCase{"Rcx", REG_RCX, 0x80},
                    RegisterCase{"Rdx", REG_RDX, 0x88}, RegisterCase{"Rbx", REG_RBX, 0x90},
                    RegisterCase{"Rsp", REG_RSP, 0x98}, RegisterCase{"Rbp", REG_RBP, 0xA0},
                    RegisterCase{"Rsi", REG_RSI, 0xA8}, RegisterCase{"Rdi", REG_RDI, 0xB0},
                    RegisterCase{"R8", REG_R8, 0xB8}, RegisterCase{"R9", REG_R9, 0xC0},
                    RegisterCase{"R10", REG_R10, 0xC8}, RegisterCase{"R11", REG_R11, 0xD0},
                    RegisterCase{"R12", REG_R12, 0xD8}, RegisterCase{"R13", REG_R13, 0xE0},
                    RegisterCase{"R14", REG_R14, 0xE8}, RegisterCase{"R15", REG_R15, 0xF0},
                    RegisterCase{"Rip", REG_RIP, 0xF8}),
    [](const testing::TestParamInfo<RegisterCase> &info) { return info.param.name; });

TEST(RegisterConversion, SegmentsFlagsAndFloatingPoint)
{
    SavedRegisters saved;
    saved.gregs[REG_CSGSFS] = static_cast<greg_t>(0x002B'0000'0000'0033); // ss, fs, gs, cs
    saved.gregs[REG_EFL] = 0x246;
    format::ContextAmd64 context = contextFromRegisters(saved);
    EXPECT_EQ(0x33, context.cs);
    EXPECT_EQ(0, context.ss) << "ss is only valid with UC_SIGCONTEXT_SS";
    EXPECT_EQ(0x246u, context.eflags);
    EXPECT_EQ(0x00100003u, context.contextFlags) << "no FP state saved: no FLOATING_POINT bit";

    saved.ucFlags = 0x2;
    saved.hasFpState = true;
    saved.fpState.mxcsr = 0x1F80;
    saved.fpState.cwd = 0x37F;
    context = contextFromRegisters(saved);
    EXPECT_EQ(0x2B, context.ss);
    EXPECT_EQ(0x0010000Bu, context.contextFlags);
    EXPECT_EQ(0x1F80u, context.mxCsr);
    EXPECT_EQ(0, std::memcmp(context.fltSave, &saved.fpState, sizeof context.fltSave));
}

// ---- ELF images in a made-up address space ----

class FakeMemory final : public MemoryReader
{
public:
    void map(std::uint64_t address, std::vector<std::uint8_t> bytes)
    {
        regions_[address] = std::move(bytes);
    }

    std::size_t read(std::uint64_t address, void *buffer, std::size_t size) const override
    {
        auto region = regions_.upper_bound(address);
        if (region == regions_.begin())
            return 0;
        --region;
        const std::uint64_t offset = address - region->first;
        if (offset >= region->second.size())
            return 0;
        const std::size_t count = std::min<std::size_t>(size, region->second.size() - offset);
        std::memcpy(buffer, region->second.data() + offset, count);
        return count;
    }

private:
    std::map<std::uint64_t, std::vector<std::uint8_t>> regions_;
};

// A 20-byte id as the GNU linker makes them: 1, 2, ..., 20.
std::vector<std::uint8_t> sha1SizedBuildId()
{
    std::vector<std::uint8_t> id(20);
    for (std::size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<std::uint8_t>(i + 1);
    return id;
}

struct ElfShape {
    std::vector<std::uint8_t> buildId = sha1SizedBuildId();
    std::uint64_t firstLoadVaddr = 0; // 0 for shared objects and PIE
    std::uint64_t noteAlign = 4;
    bool abiNoteFirst = false;
    std::uint32_t claimedDescSize = 0; // 0: the real size
};

void appendNote(std::vector<std::uint8_t> &notes, std::uint32_t type,
                const std::vector<std::uint8_t> &desc, std::uint64_t align,
                std::uint32_t claimedSize)
{
    const auto pad = [&] { notes.resize((notes.size() + align - 1) / align * align); };
    Elf64_Nhdr header{4, claimedSize ? claimedSize : static_cast<std::uint32_t>(desc.size()), type};
    const auto *raw = reinterpret_cast<const std::uint8_t *>(&header);
    notes.insert(notes.end(), raw, raw + sizeof header);
    notes.insert(notes.end(), {'G', 'N', 'U', '\0'});
    pad();
    notes.insert(notes.end(), desc.begin(), desc.end());
    pad();
}

// A loaded image: ELF header, PT_LOAD and PT_NOTE headers, the notes at offset 0x200.
std::vector<std::uint8_t> makeElf(const ElfShape &shape)
{
    constexpr std::size_t kNotesAt = 0x200;
    std::vector<std::uint8_t> notes;
    if (shape.abiNoteFirst)
        appendNote(notes, NT_GNU_ABI_TAG, {0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0},
                   shape.noteAlign, 0);
    appendNote(notes, NT_GNU_BUILD_ID, shape.buildId, shape.noteAlign, shape.claimedDescSize);

    std::vector<std::uint8_t> image(0x1000);
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_phoff = sizeof header;
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = 2;
    Elf64_Phdr segments[2]{};
    segments[0].p_type = PT_LOAD;
    segments[0].p_vaddr = shape.firstLoadVaddr;
    segments[0].p_memsz = image.size();
    segments[1].p_type = PT_NOTE;
    segments[1].p_vaddr = shape.firstLoadVaddr + kNotesAt;
    segments[1].p_memsz = notes.size();
    segments[1].p_align = shape.noteAlign;
    std::memcpy(image.data(), &header, sizeof header);
    std::memcpy(image.data() + sizeof header, segments, sizeof segments);
    std::memcpy(image.data() + kNotesAt, notes.data(), notes.size());
    return image;
}

struct BuildIdCase {
    const char *name;
    ElfShape shape;
    std::uint64_t base;
    bool expectId;
};

class BuildIdFromMemory : public testing::TestWithParam<BuildIdCase>
{
};

TEST_P(BuildIdFromMemory, ReadsTheGnuNoteOrNothing)
{
    const BuildIdCase &c = GetParam();
    FakeMemory memory;
    memory.map(c.base, makeElf(c.shape));
    const std::optional<LoadedElf> elf = readLoadedElf(memory, c.base);
    ASSERT_TRUE(elf);
    EXPECT_EQ(c.base - c.shape.firstLoadVaddr, elf->loadBias);
    EXPECT_EQ(c.expectId ? c.shape.buildId : std::vector<std::uint8_t>(),
              readBuildId(memory, *elf));
}

ElfShape withAlign8()
{
    ElfShape shape;
    shape.noteAlign = 8;
    return shape;
}
ElfShape afterAnAbiNote()
{
    ElfShape shape;
    shape.abiNoteFirst = true;
    return shape;
}
ElfShape fixedAddress()
{
    ElfShape shape;
    shape.firstLoadVaddr = 0x400000;
    return shape;
}
ElfShape overlongDesc()
{
    ElfShape shape;
    shape.claimedDescSize = 4000;
    return shape;
}

INSTANTIATE_TEST_SUITE_P(
    Images, BuildIdFromMemory,
    testing::Values(BuildIdCase{"SharedObject", ElfShape{}, 0x7f0000000000, true},
                    BuildIdCase{"NotesAlignedTo8", withAlign8(), 0x7f0000000000, true},
                    BuildIdCase{"AfterAnotherNote", afterAnAbiNote(), 0x7f0000000000, true},
                    BuildIdCase{"FixedAddressExecutable", fixedAddress(), 0x400000, true},
                    BuildIdCase{"DescriptionRunsPastTheSegment", overlongDesc(), 0x7f0000000000,
                                false}),
    [](const testing::TestParamInfo<BuildIdCase> &info) { return info.param.name; });

TEST(BuildIdFromMemory, NotAnElfImageOrUnreadableHeadersGiveNothing)
{
    FakeMemory memory;
    memory.map(0x1000, std::vector<std::uint8_t>(4096, 'x'));
    std::vector<std::uint8_t> cut = makeElf(ElfShape{});
    cut.resize(sizeof(Elf64_Ehdr) + 10); // program headers cut off
    memory.map(0x10000, cut);
    EXPECT_FALSE(readLoadedElf(memory, 0x1000));
    EXPECT_FALSE(readLoadedElf(memory, 0x10000));
    EXPECT_FALSE(readLoadedElf(memory, 0x90000)) << "unmapped";
}

// ---- The module list ----

constexpr char kProcessMaps[] =
    "55550000-55551000 r--p 00000000 08:01 10 /opt/app/bin/app\n"
    "55551000-55553000 r-xp 00001000 08:01 10 /opt/app/bin/app\n"
    "55553000-55554000 ---p 00000000 00:00 0 \n"
    "55554000-55555000 rw-p 00003000 08:01 10 /opt/app/bin/app\n"
    "55555000-55556000 rw-p 00000000 00:00 0 \n"
    "56000000-56100000 rw-p 00000000 00:00 0 [heap]\n"
    "7f0000000000-7f0000001000 r--p 00000000 08:01 20 /usr/share/fonts/a.ttf\n"
    "7f0000010000-7f0000011000 r--p 00000000 08:01 30 /usr/lib/libfoo.so\n"
    "7f0000011000-7f0000012000 r-xp 00001000 08:01 30 /usr/lib/libfoo.so\n"
    "7f0000020000-7f0000021000 r-xp 00000000 00:00 0 [vdso]\n"
    "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0 [stack]\n";

struct ModuleListCase {
    const char *name;
    std::uint64_t entryPoint;
    std::vector<std::string> expectedOrder;
};

class ModuleList : public testing::TestWithParam<ModuleListCase>
{
};

TEST_P(ModuleList, OneModulePerElfObjectWithTheExecutableFirst)
{
    FakeMemory memory;
    ElfShape app;
    app.buildId = {0xAA, 0xBB};
    memory.map(0x55550000, makeElf(app));
    memory.map(0x7f0000000000, std::vector<std::uint8_t>(4096, 0)); // a font
    memory.map(0x7f0000010000, makeElf(ElfShape{}));
    memory.map(0x7f0000020000, makeElf(ElfShape{}));

    const std::vector<DumpModule> modules =
        collectModules(parseMaps(kProcessMaps), memory, GetParam().entryPoint);
    std::vector<std::string> order;
    for (const DumpModule &module : modules)
        order.push_back(module.path);
    ASSERT_EQ(GetParam().expectedOrder, order);

    const auto find = [&](const std::string &path) {
        return *std::find_if(modules.begin(), modules.end(),
                             [&](const DumpModule &m) { return m.path == path; });
    };
    // The alignment hole is bridged, the .bss after the last file mapping is not.
    EXPECT_EQ(0x55550000u, find("/opt/app/bin/app").base);
    EXPECT_EQ(0x5000u, find("/opt/app/bin/app").size);
    EXPECT_EQ(app.buildId, find("/opt/app/bin/app").buildId);
    EXPECT_EQ(0x2000u, find("/usr/lib/libfoo.so").size);
    EXPECT_EQ(0x7f0000020000u, find("linux-gate.so").base);
}

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, ModuleList,
    testing::Values(ModuleListCase{"InTheExecutable",
                                   0x55551234,
                                   {"/opt/app/bin/app", "/usr/lib/libfoo.so", "linux-gate.so"}},
                    ModuleListCase{"InALibrary",
                                   0x7f0000011000,
                                   {"/usr/lib/libfoo.so", "/opt/app/bin/app", "linux-gate.so"}},
                    ModuleListCase{
                        "Unknown", 0, {"/opt/app/bin/app", "/usr/lib/libfoo.so", "linux-gate.so"}}),
    [](const testing::TestParamInfo<ModuleListCase> &info) { return info.param.name; });

} // namespace

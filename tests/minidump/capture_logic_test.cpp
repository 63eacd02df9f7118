// The capture's logic and the dump writer on made-up input: the edge cases real dumps lack.
#include "minidump/minidump_reader.h"
#include "minidump/serialiser.h"
#include "platform/linux/capture/dso_debug_linux.h"
#include "platform/linux/capture/dump_memory_linux.h"
#include "platform/linux/capture/dump_writer_linux.h"
#include "platform/linux/capture/elf_headers_linux.h"
#include "platform/linux/capture/module_list_linux.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/thread_context_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>

namespace
{

using namespace platform::linux_impl;
using namespace minidump;
using minidump_test::Minidump;

auto fields(const MapsEntry &e)
{
    return std::make_tuple(e.start, e.end, e.offset, e.inode, e.readable, e.executable, e.path);
}

TEST(Maps, ParsesEachLineOrLeavesItOut)
{
    using Fields = decltype(fields(MapsEntry{}));
    const std::vector<std::pair<std::string, std::optional<Fields>>> cases = {
        {"7f1c2a000000-7f1c2a022000 r-xp 00028000 fe:01 1311 /usr/lib/libc.so.6",
         Fields{0x7f1c2a000000, 0x7f1c2a022000, 0x28000, 1311, true, true, "/usr/lib/libc.so.6"}},
        {"7f00-8f00 rw-p 00000000 00:00 0 ", Fields{0x7f00, 0x8f00, 0, 0, true, false, ""}},
        {"1000-2000 r--p 00000000 08:01 7     /tmp/my dir/lib x.so (deleted)",
         Fields{0x1000, 0x2000, 0, 7, true, false, "/tmp/my dir/lib x.so (deleted)"}},
        {"1000-2000 ---p 00000000 00:00 0", Fields{0x1000, 0x2000, 0, 0, false, false, ""}},
        {"2000-1000 r--p 00000000 00:00 0", std::nullopt},
        {"1000 2000 r--p 00000000 00:00 0", std::nullopt},
        {"1000-2000 r--p 0000", std::nullopt},
    };
    for (const auto &[line, expected] : cases) {
        std::vector<Fields> parsed;
        for (const MapsEntry &entry : parseMaps(line + "\n"))
            parsed.push_back(fields(entry));
        EXPECT_EQ(expected ? std::vector<Fields>{*expected} : std::vector<Fields>(), parsed)
            << line;
    }
}

TEST(ProcStat, ArgumentStringsStartIsField48EvenWhenTheNameHoldsSpacesAndParentheses)
{
    const std::string fields =
        " S 1 2 3 0 -1 4194304 102 0 0 0 0 0 0 0 20 0 1 0 142101 3133440 413 "
        "18446744073709551615 94800208338944 94800208358825 140731004726624 0 0 0 0 0 "
        "0 0 0 0 17 1 0 0 0 0 0 94800208374832 94800208376448 94800876523520 "
        "140731004733895 140731004733915 140731004733915 140731004735467 0\n";
    EXPECT_EQ(140731004733895u, argumentStringsStart("4242 (a) b (c) " + fields));
    EXPECT_EQ(std::nullopt, argumentStringsStart("4242 (app) S 1 2 3"));
    EXPECT_EQ(std::nullopt, argumentStringsStart("garbage"));
}

TEST(DumpArena, HandsOutAlignedZeroedMemoryUntilItIsFullAndReadsStopAtItsGuardPage)
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
    const std::size_t rest = arena->remaining();
    auto *last = static_cast<std::uint8_t *>(arena->allocate(rest, 1));
    ASSERT_NE(nullptr, last);
    std::memset(last, 0x5A, rest);

    const auto guard = reinterpret_cast<std::uint64_t>(arena->guardPage());
    const OwnProcessMemory memory;
    std::vector<std::uint8_t> buffer(2 * rest, 0);
    EXPECT_EQ(rest, memory.read(guard - rest, buffer.data(), 2 * rest)) << "stops at the guard";
    EXPECT_EQ(std::vector<std::uint8_t>(rest, 0x5A),
              std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + rest));
    EXPECT_EQ(0u, memory.read(guard + 8, buffer.data(), 16)) << "starts inside it";
    EXPECT_EQ(0u, memory.read(0x10, buffer.data(), 16)) << "unmapped";
    EXPECT_TRUE(memory.readExactly(guard - 30, buffer.data(), 20));
    EXPECT_FALSE(memory.readExactly(guard - 10, buffer.data(), 20));

    // More pages than one process_vm_readv call takes.
    std::vector<std::uint8_t> wide(5 << 20), copy(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i)
        wide[i] = static_cast<std::uint8_t>(i * 7 / 4096);
    EXPECT_EQ(wide.size(),
              memory.read(reinterpret_cast<std::uint64_t>(wide.data()), copy.data(), copy.size()));
    EXPECT_TRUE(wide == copy);
}

TEST(StackRange, CoversTheRedZoneAndStaysInsideTheMappingAndBelowTheCeiling)
{
    const std::vector<MapsEntry> maps = parseMaps("10000000-10100000 rw-p 00000000 00:00 0\n");
    constexpr std::uint64_t kNone = ~std::uint64_t{0};
    struct Case {
        const char *name;
        std::uint64_t sp, maxBytes, ceiling, start, size;
    };
    const Case cases[] = {
        {"RedZoneReachesThePageBelow", 0x10080040, 1 << 20, kNone, 0x1007F000, 0x81000},
        {"NeverBelowTheMapping", 0x10000010, 1 << 20, kNone, 0x10000000, 0x100000},
        {"CappedAtMaxBytes", 0x10000800, 0x8000, kNone, 0x10000000, 0x8000},
        {"StopsBelowTheArgumentStrings", 0x100F0000, 1 << 20, 0x100F8000, 0x100EF000, 0x9000},
        {"CeilingBelowSpIsIgnored", 0x10080040, 1 << 20, 0x10000100, 0x1007F000, 0x81000},
        {"UnknownMappingTakesMaxBytes", 0x20000100, 0x4000, kNone, 0x20000000, 0x4000},
        {"MappingEndIsOutsideIt", 0x10100000, 0x4000, kNone, 0x100FF000, 0x4000},
    };
    for (const Case &c : cases) {
        const StackRange range = stackRangeFor(c.sp, maps, c.maxBytes, c.ceiling);
        EXPECT_EQ(std::make_pair(c.start, c.size),
                  std::make_pair(range.start, std::uint64_t{range.size}))
            << c.name;
    }
}

TEST(RegisterConversion, GeneralRegistersSegmentsFlagsAndFloatingPoint)
{
    // In context order, from Rax at 0x78 to Rip at 0xF8.
    const int order[] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                         REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                         REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    SavedRegisters saved;
    for (int i = 0; i < NGREG; ++i)
        saved.gregs[i] = 0x1111'0000'0000 + i;
    saved.gregs[REG_CSGSFS] = static_cast<greg_t>(0x002B'0000'0000'0033); // ss, fs, gs, cs
    saved.gregs[REG_EFL] = 0x246;
    format::ContextAmd64 context = contextFromRegisters(saved);
    for (std::size_t i = 0; i < std::size(order); ++i) {
        std::uint64_t value = 0;
        std::memcpy(&value, reinterpret_cast<const char *>(&context) + 0x78 + 8 * i, 8);
        EXPECT_EQ(static_cast<std::uint64_t>(saved.gregs[order[i]]), value) << "slot " << i;
    }
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

// A made-up address space.
class FakeMemory final : public MemoryReader
{
public:
    std::map<std::uint64_t, std::vector<std::uint8_t>> regions;

    std::size_t read(std::uint64_t address, void *buffer, std::size_t size) const override
    {
        auto region = regions.upper_bound(address);
        if (region == regions.begin())
            return 0;
        --region;
        const std::uint64_t offset = address - region->first;
        if (offset >= region->second.size())
            return 0;
        const std::size_t count = std::min<std::size_t>(size, region->second.size() - offset);
        std::memcpy(buffer, region->second.data() + offset, count);
        return count;
    }
};

const std::vector<std::uint8_t> kBuildId{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

struct ElfShape {
    std::uint64_t firstLoadVaddr = 0; // 0 for shared objects and PIE
    std::uint64_t noteAlign = 4;
    // An ABI tag note of this size first: padding after it tells 4- from 8-byte alignment.
    std::size_t abiNoteSize = 12;
    std::uint32_t claimedDescSize = 0; // 0: the real size
    std::uint16_t programHeaders = 2;  // more are claimed, all readable, but not filled in
    std::size_t keptBytes = SIZE_MAX;  // fewer: the image is cut off there
    char magic = ELFMAG0;
    unsigned char elfClass = ELFCLASS64;
};

void appendNote(std::vector<std::uint8_t> &notes, std::uint32_t type,
                const std::vector<std::uint8_t> &desc, std::uint64_t align, std::uint32_t claimed)
{
    const auto pad = [&] { notes.resize((notes.size() + align - 1) / align * align); };
    Elf64_Nhdr header{4, claimed ? claimed : static_cast<std::uint32_t>(desc.size()), type};
    const auto *raw = reinterpret_cast<const std::uint8_t *>(&header);
    notes.insert(notes.end(), raw, raw + sizeof header);
    notes.insert(notes.end(), {'G', 'N', 'U', '\0'});
    pad();
    notes.insert(notes.end(), desc.begin(), desc.end());
    pad();
}

// A loaded image: ELF header, PT_LOAD and PT_NOTE headers, the notes after the headers.
std::vector<std::uint8_t> makeElf(const ElfShape &shape)
{
    std::vector<std::uint8_t> notes;
    if (shape.abiNoteSize)
        appendNote(notes, NT_GNU_ABI_TAG, std::vector<std::uint8_t>(shape.abiNoteSize, 1),
                   shape.noteAlign, 0);
    appendNote(notes, NT_GNU_BUILD_ID, kBuildId, shape.noteAlign, shape.claimedDescSize);

    const std::size_t notesAt = sizeof(Elf64_Ehdr) + shape.programHeaders * sizeof(Elf64_Phdr);
    std::vector<std::uint8_t> image(std::max<std::size_t>(0x1000, notesAt + notes.size()));
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = shape.elfClass;
    header.e_phoff = sizeof header;
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = shape.programHeaders;
    Elf64_Phdr segments[2]{};
    segments[0] = {PT_LOAD, 0, 0, shape.firstLoadVaddr, 0, 0, image.size(), 0};
    segments[1] = {PT_NOTE,        0, 0, shape.firstLoadVaddr + notesAt, 0, 0, notes.size(),
                   shape.noteAlign};
    std::memcpy(image.data(), &header, sizeof header);
    std::memcpy(image.data() + sizeof header, segments, sizeof segments);
    std::memcpy(image.data() + notesAt, notes.data(), notes.size());
    image[0] = shape.magic;
    image.resize(std::min(image.size(), shape.keptBytes));
    return image;
}

TEST(BuildIdFromMemory, ReadsTheGnuNoteOrNothing)
{
    enum Expect { Id, NoId, NoElf };
    const std::pair<Expect, void (*)(ElfShape &)> cases[] = {
        {Id, [](ElfShape &) {}},
        {Id, [](ElfShape &s) { s.noteAlign = 8; }},
        {Id, [](ElfShape &s) { s.abiNoteSize = 0; }},
        {Id, [](ElfShape &s) { s.firstLoadVaddr = 0x400000; }},
        {Id, [](ElfShape &s) { s.programHeaders = 256; }}, // the most an object may claim
        {NoElf, [](ElfShape &s) { s.programHeaders = 257; }},
        {NoId, [](ElfShape &s) { s.claimedDescSize = 4000; }}, // runs past the segment
        {NoElf, [](ElfShape &s) { s.keptBytes = sizeof(Elf64_Ehdr) + 10; }},
        {NoElf, [](ElfShape &s) { s.keptBytes = 0; }}, // unmapped
        {NoElf, [](ElfShape &s) { s.magic = 'x'; }},
        {NoElf, [](ElfShape &s) { s.elfClass = ELFCLASS32; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        ElfShape shape;
        c.second(shape);
        const Expect expect = c.first;
        const std::uint64_t base = shape.firstLoadVaddr ? shape.firstLoadVaddr : 0x7f0000000000;
        FakeMemory memory;
        memory.regions[base] = makeElf(shape);
        const std::optional<LoadedElf> elf = readLoadedElf(memory, base);
        ASSERT_EQ(expect != NoElf, elf.has_value());
        if (elf) {
            EXPECT_EQ(base - shape.firstLoadVaddr, elf->loadBias);
            EXPECT_EQ(expect == Id ? kBuildId : std::vector<std::uint8_t>(),
                      readBuildId(memory, *elf));
        }
    }
}

TEST(DsoDebug, TheDynamicSectionEndsWithinTheEntryLimit)
{
    constexpr std::uint64_t base = 0x10000, debugAt = base + 0x100, dynamicAt = base + 0x1000;
    // How many entries come before DT_NULL; 1024 entries in all is the most that is read.
    for (const auto &[before, found] : {std::pair{1023u, true}, {1024u, false}}) {
        SCOPED_TRACE(before);
        FakeMemory memory;
        std::vector<std::uint8_t> &image = memory.regions[base];
        image.resize(0x1000 + (before + 1) * sizeof(Elf64_Dyn));
        const Elf64_Phdr headers[2] = {{PT_PHDR, 0, 0, 0, 0, 0, 0, 0},
                                       {PT_DYNAMIC, 0, 0, 0x1000, 0, 0, 0, 0}};
        std::memcpy(image.data(), headers, sizeof headers);
        std::vector<Elf64_Dyn> dynamic(before + 1, Elf64_Dyn{DT_FLAGS, {0}});
        dynamic.front() = {DT_DEBUG, {debugAt}};
        dynamic.back() = {DT_NULL, {0}};
        std::memcpy(image.data() + (dynamicAt - base), dynamic.data(),
                    dynamic.size() * sizeof(Elf64_Dyn));
        const std::optional<DsoDebugInfo> info = readDsoDebug(memory, base, 2);
        EXPECT_EQ(found, info.has_value());
    }
}

TEST(ModuleList, OneModulePerElfObjectWithTheEntryPointsObjectFirst)
{
    const std::vector<MapsEntry> maps =
        parseMaps("55550000-55551000 r--p 00000000 08:01 10 /opt/app/bin/app\n"
                  "55551000-55553000 r-xp 00001000 08:01 10 /opt/app/bin/app\n"
                  "55553000-55554000 ---p 00000000 00:00 0 \n"
                  "55554000-55555000 rw-p 00003000 08:01 10 /opt/app/bin/app\n"
                  "55555000-55556000 rw-p 00000000 00:00 0 \n"
                  "56000000-56100000 rw-p 00000000 00:00 0 [heap]\n"
                  "7f0000000000-7f0000001000 r--p 00000000 08:01 20 /usr/share/fonts/a.ttf\n"
                  "7f0000010000-7f0000011000 r--p 00000000 08:01 30 /usr/lib/libfoo.so\n"
                  "7f0000011000-7f0000012000 r-xp 00001000 08:01 30 /usr/lib/libfoo.so\n"
                  "7f0000012000-7f0000013000 ---p 00000000 00:00 0 \n"
                  "7f0000013000-7f0000014000 rw-p 00000000 00:00 0 \n"
                  "7f0000014000-7f0000015000 rw-p 00003000 08:01 30 /usr/lib/libfoo.so\n"
                  "7f0000020000-7f0000021000 r-xp 00000000 00:00 0 [vdso]\n"
                  "7f0000030000-7f0000031000 r--p 00001000 08:01 40 /usr/lib/offset.so\n"
                  "7f0000040000-7f0000041000 ---p 00000000 08:01 50 /usr/lib/unreadable.so\n"
                  "7f0000050000-7f0000051000 r--p 00000000 08:01 60 relative.so\n"
                  "7f1000000000-7f1100000000 r--p 00000000 08:01 70 /usr/lib/huge.so\n"
                  "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0 [stack]\n");
    FakeMemory memory;
    memory.regions[0x55550000] = makeElf(ElfShape{});
    memory.regions[0x7f0000000000] = std::vector<std::uint8_t>(4096, 0); // a font
    memory.regions[0x7f0000010000] = makeElf(ElfShape{});
    // ELF images that are no module: mapped from an offset, unreadable, not an absolute
    // path, or larger than a module list entry can say.
    for (const std::uint64_t at :
         {0x7f0000020000, 0x7f0000030000, 0x7f0000040000, 0x7f0000050000, 0x7f1000000000})
        memory.regions[at] = makeElf(ElfShape{});

    using Seen = std::tuple<std::string, std::uint64_t, std::uint64_t>;
    // The alignment hole is bridged; the .bss after the last file mapping, and two mappings
    // between two of one file, are not.
    const Seen exe{"/opt/app/bin/app", 0x55550000, 0x5000},
        lib{"/usr/lib/libfoo.so", 0x7f0000010000, 0x2000},
        vdso{"linux-gate.so", 0x7f0000020000, 0x1000};
    const std::pair<std::uint64_t, std::vector<Seen>> entryPoints[] = {
        {0x55551234, {exe, lib, vdso}}, {0x7f0000011000, {lib, exe, vdso}}, {0, {exe, lib, vdso}}};
    for (const auto &[entryPoint, expected] : entryPoints) {
        std::vector<Seen> seen;
        for (const DumpModule &m : collectModules(maps, memory, entryPoint))
            seen.emplace_back(m.path, m.base, m.size);
        EXPECT_EQ(expected, seen) << entryPoint;
    }
}

constexpr std::uint32_t kLsbRelease = 0x47670005;
constexpr std::uint32_t kDsoDebug = 0x4767000A;
constexpr char kOddName[] = "/opt/lib/é\xF0\x9F\x98\x80\xFF\xED\xA0\x80.so";

format::ContextAmd64 contextWith(std::uint64_t rsp)
{
    format::ContextAmd64 context{};
    context.contextFlags = format::kContextFull;
    context.rsp = rsp;
    return context;
}

// A disk full after `diskRoom` bytes, which takes at most 5 bytes of the first vector a call
// and is interrupted before every other call.
off_t diskRoom = 0;
ssize_t smallDiskWriter(int fd, const iovec *vectors, int, off_t offset)
{
    static unsigned calls = 0;
    if (++calls % 2 == 0 || offset >= diskRoom) {
        errno = offset >= diskRoom ? ENOSPC : EINTR;
        return -1;
    }
    const iovec first{vectors[0].iov_base, std::min<std::size_t>({vectors[0].iov_len, 5,
                                                                  std::size_t(diskRoom - offset)})};
    return pwritev(fd, &first, 1, offset);
}

// Two threads with stacks and one without a context; a module without a build id, named with
// a character beyond U+FFFF and an invalid byte; no LSB release. The live tests check the
// usual case.
class Serialiser : public testing::Test
{
protected:
    Serialiser()
    {
        model.system.csdVersion = "Linux 6.1.0 #1 SMP x86_64";
        model.threads = {
            {100, contextWith(0x7000'0100), {0x7000'0000, {mainStack.data(), mainStack.size()}}},
            {101, contextWith(0x6000'0800), {0x6000'0000, {mainStack.data(), 4096}}},
            {102, std::nullopt, {}},
        };
        model.modules = {{0x5555'0000, 0x3000, "/opt/app/bin/app", {0xDE, 0xAD}},
                         {0x7f00'0000, 0x10000, kOddName, {}}};
        model.dsoDebug = DsoDebugInfo{1,
                                      0x1111,
                                      0x2222,
                                      0x5555'2e00,
                                      std::vector<std::uint8_t>(32, 0x0D),
                                      {{0, "", 0x5555'2e00}, {0x7f00'0000, kOddName, 0x7f00'9000}}};
    }

    // What writeLayout leaves in a fresh file, and whether it reported success.
    std::pair<std::vector<std::uint8_t>, bool> write(PositionalWriter writer = &::pwritev) const
    {
        const std::optional<DumpLayout> layout = layOutMinidump(model);
        EXPECT_TRUE(layout);
        const int fd = memfd_create("dump", MFD_CLOEXEC);
        const bool written = layout && writeLayout(fd, *layout, writer);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
        EXPECT_EQ(ssize_t(bytes.size()), pread(fd, bytes.data(), bytes.size(), 0));
        close(fd);
        return {bytes, written};
    }

    Minidump writeAndParse() const
    {
        const auto [bytes, written] = write();
        EXPECT_TRUE(written);
        std::string error;
        std::optional<Minidump> dump = Minidump::parse(bytes, error);
        EXPECT_TRUE(dump) << error;
        return dump ? *dump : Minidump();
    }

    std::vector<std::uint8_t> mainStack = std::vector<std::uint8_t>(8192, 0xA1);
    DumpModel model;
};

TEST_F(Serialiser, ThreadsWithoutContextOrStackModulesWithoutIdAndAbsentFiles)
{
    Minidump dump = writeAndParse();
    ASSERT_EQ(3u, dump.threads.size());
    EXPECT_EQ(2u, dump.memory.size()) << "a thread without a stack has no memory range";
    const minidump_test::Thread &bare = dump.threads[2];
    EXPECT_EQ(std::make_tuple(102u, 0u, 0u),
              std::make_tuple(bare.threadId, bare.context.size, bare.stack.size));

    ASSERT_EQ(2u, dump.modules.size());
    EXPECT_EQ("/opt/lib/é\U0001F600\uFFFD\uFFFD\uFFFD\uFFFD.so", dump.modules[1].name);
    EXPECT_TRUE(dump.modules[1].codeView.empty()) << "no CodeView record without a build id";

    ASSERT_NE(nullptr, dump.findStream(kLsbRelease));
    EXPECT_EQ(0u, dump.findStream(kLsbRelease)->size) << "an absent file: empty stream";
    EXPECT_EQ(40u + 32, dump.streamText(kDsoDebug).size()) << "head and dynamic section";
    ASSERT_EQ(2u, dump.linkMap.size());
    EXPECT_EQ("/opt/lib/é\U0001F600\uFFFD\uFFFD\uFFFD\uFFFD.so", dump.linkMap[1].name);
    EXPECT_EQ(0x7f00'9000u, dump.linkMap[1].ld);

    model.dsoDebug.reset();
    dump = writeAndParse();
    EXPECT_EQ(nullptr, dump.findStream(kDsoDebug));
    EXPECT_EQ(11u, dump.streams.size());

    // What a 32-bit RVA cannot address is refused before a single byte is read.
    model.threads[0].stack.bytes.size = std::size_t{5} << 30;
    EXPECT_FALSE(layOutMinidump(model));
    model.threads[0].stack.bytes.size = mainStack.size();
    model.modules[0].size = 0xFFFF'FFFF;
    EXPECT_TRUE(layOutMinidump(model)) << "the largest size a module entry holds";
    model.modules[0].size = std::uint64_t{1} << 32;
    EXPECT_FALSE(layOutMinidump(model));

    // A layout without room for the signature in front is refused before anything is written.
    const PositionalWriter untouched = [](int, const iovec *, int, off_t) -> ssize_t {
        ADD_FAILURE() << "nothing is written";
        errno = EIO;
        return -1;
    };
    DumpLayout tooShort;
    EXPECT_FALSE(writeLayout(-1, tooShort, untouched));
    tooShort.append("MD", 2);
    EXPECT_FALSE(writeLayout(-1, tooShort, untouched));
}

TEST_F(Serialiser, EveryByteGetsOutThroughShortWritesAndInterruptionsButNotPastAFullDisk)
{
    const std::vector<std::uint8_t> reference = write().first;
    diskRoom = 1 << 30;
    EXPECT_EQ(std::make_pair(reference, true), write(&smallDiskWriter));

    diskRoom = 4096;
    const auto [cut, written] = write(&smallDiskWriter);
    EXPECT_FALSE(written);
    ASSERT_EQ(4096u, cut.size());
    EXPECT_EQ(std::vector<std::uint8_t>(4, 0),
              std::vector<std::uint8_t>(cut.begin(), cut.begin() + 4))
        << "no signature on a file cut short";
    EXPECT_TRUE(std::equal(cut.begin() + 4, cut.end(), reference.begin() + 4));
    // A writer that takes nothing ends the write instead of spinning.
    EXPECT_FALSE(write([](int, const iovec *, int, off_t) -> ssize_t { return 0; }).second);

    // More pieces than one pwritev takes.
    constexpr std::size_t kThreads = 1500;
    model.threads.clear();
    for (std::size_t i = 0; i < kThreads; ++i) {
        const std::uint64_t base = 0x10'0000 + i * 0x100;
        model.threads.push_back({static_cast<std::uint32_t>(1000 + i),
                                 contextWith(base),
                                 {base, {mainStack.data(), 15}}});
    }
    const Minidump dump = writeAndParse();
    ASSERT_EQ(kThreads, dump.threads.size());
    EXPECT_EQ(std::vector<std::uint8_t>(15, 0xA1),
              dump.readMemory(0x10'0000 + (kThreads - 1) * 0x100, 15));
}

} // namespace

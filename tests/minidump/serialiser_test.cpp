// The serialiser and the file writer, fed a made-up model and read back with the strict test
// reader.
#include "minidump/minidump_reader.h"
#include "platform/linux/capture/dump_writer_linux.h"
#include "platform/minidump/serialiser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using namespace platform::linux_impl;
using minidump_test::Minidump;

constexpr std::uint32_t kThreadList = 3;
constexpr std::uint32_t kModuleList = 4;
constexpr std::uint32_t kLsbRelease = 0x47670005;
constexpr std::uint32_t kDsoDebug = 0x4767000A;

format::ContextAmd64 contextWith(std::uint64_t rsp, std::uint64_t rip)
{
    format::ContextAmd64 context{};
    context.contextFlags = format::kContextFull;
    context.rsp = rsp;
    context.rip = rip;
    return context;
}

// Two threads with stacks and one without a context; a module without a build id and named
// outside ASCII; no LSB release. The live tests check the Linux streams' contents.
class Serialiser : public testing::Test
{
protected:
    Serialiser()
    {
        model.processId = 4242;
        model.timeDateStamp = 1700000000;
        model.system.csdVersion = "Linux 6.1.0 #1 SMP x86_64";
        model.threads = {
            {100,
             contextWith(0x7000'0100, 0x5555'1000),
             {0x7000'0000, {mainStack.data(), mainStack.size()}}},
            {101,
             contextWith(0x6000'0800, 0x5555'2000),
             {0x6000'0000, {workerStack.data(), workerStack.size()}}},
            {102, std::nullopt, {}},
        };
        model.modules = {
            {0x5555'0000, 0x3000, "/opt/app/bin/app", {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4}},
            {0x7f00'0000, 0x10000, "/opt/app/lib/libüñï.so", {}},
        };
        model.cpuInfo = "processor\t: 0\n";
        model.procStatus = "Name:\tapp\nPid:\t4242\n";
        model.cmdLine = std::string("app\0--flag\0", 11);
        model.auxv = std::string(32, '\x07');
        model.maps = "55550000-55553000 r-xp 00000000 08:01 42 /opt/app/bin/app\n";
        model.dsoDebug = DsoDebugInfo{
            1,
            0x1111,
            0x2222,
            0x5555'2e00,
            std::vector<std::uint8_t>(32, 0x0D),
            {{0, "", 0x5555'2e00}, {0x7f00'0000, "/opt/app/lib/libüñï.so", 0x7f00'9000}}};
    }

    Minidump serialiseAndParse() const
    {
        std::string error;
        std::optional<Minidump> dump = Minidump::parse(fileOf(model), error);
        EXPECT_TRUE(dump) << error;
        return dump ? *dump : Minidump();
    }

public:
    // What writeLayout leaves in a fresh file; `written` tells whether it reported success.
    static std::vector<std::uint8_t>
    fileOf(const DumpModel &model, PositionalWriter write = &::pwritev, bool *written = nullptr)
    {
        const std::optional<DumpLayout> layout = layOutMinidump(model);
        EXPECT_TRUE(layout);
        const int fd = memfd_create("dump", MFD_CLOEXEC);
        EXPECT_GE(fd, 0);
        const bool ok = layout && writeLayout(fd, *layout, write);
        if (written)
            *written = ok;
        else
            EXPECT_TRUE(ok);
        struct stat status {
        };
        fstat(fd, &status);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
        EXPECT_EQ(status.st_size, pread(fd, bytes.data(), bytes.size(), 0));
        close(fd);
        return bytes;
    }

    std::vector<std::uint8_t> mainStack = std::vector<std::uint8_t>(8192, 0xA1);
    std::vector<std::uint8_t> workerStack = std::vector<std::uint8_t>(4096, 0xB2);
    DumpModel model;
};

TEST_F(Serialiser, ThreadsKeepOrderContextsAndShareStackBytesWithTheMemoryList)
{
    const Minidump dump = serialiseAndParse();
    ASSERT_EQ(3u, dump.threads.size());
    ASSERT_EQ(2u, dump.memory.size()) << "a thread without a stack has no memory range";
    for (std::size_t i = 0; i < 2; ++i) {
        const minidump_test::Thread &thread = dump.threads[i];
        const DumpThread &source = model.threads[i];
        EXPECT_EQ(source.threadId, thread.threadId);
        EXPECT_EQ(0x0010000Bu, dump.contextValue(thread, 0x30).value() & 0xFFFFFFFF) << "flags";
        EXPECT_EQ(source.context->rsp, dump.contextValue(thread, minidump_test::kContextRsp));
        EXPECT_EQ(source.context->rip, dump.contextValue(thread, minidump_test::kContextRip));
        EXPECT_EQ(source.stack.address, thread.stackStart);
        EXPECT_EQ(std::vector<std::uint8_t>(source.stack.bytes.data,
                                            source.stack.bytes.data + source.stack.bytes.size),
                  dump.readMemory(source.stack.address, source.stack.bytes.size));
    }
    EXPECT_EQ(102u, dump.threads[2].threadId);
    EXPECT_EQ(0u, dump.threads[2].context.size);
    EXPECT_EQ(0u, dump.threads[2].stack.size);
}

TEST_F(Serialiser, ModulesHaveUtf16NamesAndABuildIdCodeViewOnlyWhenThereIsAnId)
{
    const Minidump dump = serialiseAndParse();
    ASSERT_EQ(2u, dump.modules.size());
    EXPECT_EQ(0x5555'0000u, dump.modules[0].base);
    EXPECT_EQ(0x3000u, dump.modules[0].size);
    EXPECT_EQ("/opt/app/bin/app", dump.modules[0].name);
    EXPECT_EQ((std::vector<std::uint8_t>{'L', 'E', 'p', 'B', 0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4}),
              dump.modules[0].codeView);
    EXPECT_EQ("/opt/app/lib/libüñï.so", dump.modules[1].name);
    EXPECT_TRUE(dump.modules[1].codeView.empty());
}

TEST_F(Serialiser, AnAbsentFileIsAnEmptyStreamAndDsoDebugIsLeftOutWithoutOne)
{
    const Minidump dump = serialiseAndParse();
    ASSERT_NE(nullptr, dump.findStream(kLsbRelease));
    EXPECT_EQ(0u, dump.findStream(kLsbRelease)->location.size);
    EXPECT_EQ(40u + 32, dump.streamBytes(kDsoDebug).size()) << "head and dynamic section";
    ASSERT_EQ(2u, dump.linkMap.size());
    EXPECT_EQ(0x7f00'0000u, dump.linkMap[1].address);
    EXPECT_EQ("/opt/app/lib/libüñï.so", dump.linkMap[1].name);
    EXPECT_EQ(0x7f00'9000u, dump.linkMap[1].ld);

    model.dsoDebug.reset();
    const Minidump without = serialiseAndParse();
    EXPECT_EQ(nullptr, without.findStream(kDsoDebug));
    EXPECT_EQ(11u, without.streams.size());
}

TEST_F(Serialiser, RefusesWhatA32BitRvaCannotAddressInsteadOfWrapping)
{
    // Claims 5 GiB; the range check must refuse it before a single byte is read.
    model.threads[0].stack.bytes.size = std::size_t{5} << 30;
    EXPECT_FALSE(layOutMinidump(model));
    model.threads[0].stack.bytes.size = mainStack.size();
    model.modules[0].size = std::uint64_t{1} << 32;
    EXPECT_FALSE(layOutMinidump(model));
}

TEST(Utf16Conversion, GivesValidUtf16)
{
    const std::pair<std::string, std::u16string> cases[] = {
        {"/t/é缓存", u"/t/é缓存"},
        {"/t/\xF0\x9F\x98\x80", u"/t/\U0001F600"}, // a surrogate pair
        {"/t/\xFF\xC3", u"/t/\uFFFD\uFFFD"},
        {"/t/\xED\xA0\x80", u"/t/\uFFFD\uFFFD\uFFFD"}, // an encoded surrogate is invalid
    };
    for (const auto &[utf8, utf16] : cases)
        EXPECT_EQ(utf16, utf16FromUtf8(utf8)) << utf8;
}

// The reader is the oracle of every other test here, so it must reject what LLDB rejects.
std::uint32_t read32(const std::vector<std::uint8_t> &image, std::size_t at)
{
    std::uint32_t value;
    std::memcpy(&value, image.data() + at, 4);
    return value;
}

void write32(std::vector<std::uint8_t> &image, std::size_t at, std::uint32_t value)
{
    std::memcpy(image.data() + at, &value, 4);
}

// The offset of the directory entry of `type`.
std::size_t entryOf(const std::vector<std::uint8_t> &image, std::uint32_t type)
{
    std::size_t at = 32;
    while (read32(image, at) != type)
        at += 12;
    return at;
}

TEST_F(Serialiser, ReaderRejectsCorruptedDumps)
{
    using Image = std::vector<std::uint8_t>;
    const struct {
        const char *expectedError;
        void (*apply)(Image &);
    } corruptions[] = {
        {"outside the file", [](Image &i) { i.resize(32 + 12 * 12); }},
        {"bad stack or context", [](Image &i) { i.resize(i.size() - 100); }},
        {"bad header", [](Image &i) { write32(i, 0, 0); }},
        {"duplicate stream type",
         [](Image &i) { write32(i, entryOf(i, 0x47670003), kModuleList); }},
        {"module list size",
         [](Image &i) {
             write32(i, entryOf(i, kModuleList) + 4, read32(i, entryOf(i, kModuleList) + 4) + 4);
         }},
        {"bad stack or context",
         [](Image &i) {
             write32(i, read32(i, entryOf(i, kThreadList) + 8) + 4 + 0x2C,
                     static_cast<std::uint32_t>(i.size()));
         }},
        {"bad name",
         [](Image &i) {
             const std::uint32_t name =
                 read32(i, read32(i, entryOf(i, kModuleList) + 8) + 4 + 0x14);
             write32(i, name, read32(i, name) + 1);
         }},
    };
    const Image valid = fileOf(model);
    for (const auto &corruption : corruptions) {
        Image image = valid;
        corruption.apply(image);
        std::string error;
        EXPECT_FALSE(Minidump::parse(image, error));
        EXPECT_NE(std::string::npos, error.find(corruption.expectedError)) << error;
    }
}

// Interrupted before every other call; otherwise writes at most 5 bytes of its first vector.
ssize_t tricklingWriter(int fd, const iovec *vectors, int, off_t offset)
{
    static unsigned calls = 0;
    if (++calls % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    const iovec first{vectors[0].iov_base, std::min<std::size_t>(vectors[0].iov_len, 5)};
    return pwritev(fd, &first, 1, offset);
}

// A disk that is full after 4 KiB.
constexpr off_t kDiskRoom = 4096;
ssize_t diskFullWriter(int fd, const iovec *vectors, int, off_t offset)
{
    if (offset >= kDiskRoom) {
        errno = ENOSPC;
        return -1;
    }
    const iovec first{vectors[0].iov_base,
                      std::min<std::size_t>(vectors[0].iov_len, kDiskRoom - offset)};
    return pwritev(fd, &first, 1, offset);
}

TEST_F(Serialiser, EveryByteGetsOutThroughShortWritesInterruptionsAndLongVectorLists)
{
    const std::vector<std::uint8_t> reference = fileOf(model);
    EXPECT_EQ(reference, fileOf(model, &tricklingWriter));

    // More pieces than one pwritev takes.
    constexpr std::size_t kThreads = 1500;
    const std::vector<std::uint8_t> stack = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    model.threads.clear();
    for (std::size_t i = 0; i < kThreads; ++i) {
        const std::uint64_t base = 0x10'0000 + i * 0x100;
        model.threads.push_back({static_cast<std::uint32_t>(1000 + i),
                                 contextWith(base, 0x5555'1000),
                                 {base, {stack.data(), stack.size()}}});
    }
    std::string error;
    const std::optional<Minidump> dump = Minidump::parse(fileOf(model), error);
    ASSERT_TRUE(dump) << error;
    ASSERT_EQ(kThreads, dump->threads.size());
    EXPECT_EQ(stack, dump->readMemory(0x10'0000 + (kThreads - 1) * 0x100, stack.size()));
}

TEST_F(Serialiser, AFileCutShortByAFullDiskHasNoSignature)
{
    const std::vector<std::uint8_t> reference = fileOf(model);
    bool written = true;
    const std::vector<std::uint8_t> cut = fileOf(model, &diskFullWriter, &written);
    EXPECT_FALSE(written);
    ASSERT_EQ(std::size_t{kDiskRoom}, cut.size());
    EXPECT_EQ(0u, read32(cut, 0));
    EXPECT_TRUE(std::equal(cut.begin() + 4, cut.end(), reference.begin() + 4))
        << "everything else was written as far as the disk allowed";
}

} // namespace

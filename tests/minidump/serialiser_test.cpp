// The serialiser, fed a model made up here and read back with the strict test reader.
#include "minidump/minidump_reader.h"
#include "platform/linux/minidump_serialiser_linux.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace
{

using namespace platform::linux_impl;
using minidump_test::Minidump;

constexpr std::uint32_t kThreadList = 3;
constexpr std::uint32_t kModuleList = 4;
constexpr std::uint32_t kMemoryList = 5;
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

// Two threads with stacks, one without a context; two modules, one without a build id and
// named outside ASCII; every Linux stream but LSB release filled; DSO debug present.
struct FakeProcess {
    std::vector<std::uint8_t> mainStack = std::vector<std::uint8_t>(8192, 0xA1);
    std::vector<std::uint8_t> workerStack = std::vector<std::uint8_t>(4096, 0xB2);
    DumpModel model;

    FakeProcess()
    {
        model.processId = 4242;
        model.timeDateStamp = 1700000000;
        model.system.csdVersion = "Linux 6.1.0 #1 SMP x86_64";
        model.system.numberOfProcessors = 2;
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
};

Minidump parseOrFail(const std::vector<std::uint8_t> &bytes)
{
    std::string error;
    std::optional<Minidump> dump = Minidump::parse(bytes, error);
    EXPECT_TRUE(dump) << error;
    return dump ? *dump : Minidump();
}

TEST(MinidumpSerialiser, WritesEachStreamOnceWithHeaderFirstAndDirectoryAfterIt)
{
    FakeProcess process;
    const std::optional<std::vector<std::uint8_t>> image = serialiseMinidump(process.model);
    ASSERT_TRUE(image);
    const Minidump dump = parseOrFail(*image);

    EXPECT_EQ(0, std::memcmp(image->data(), "MDMP", 4));
    std::uint32_t directoryRva = 0;
    std::memcpy(&directoryRva, image->data() + 12, 4);
    EXPECT_EQ(32u, directoryRva);
    EXPECT_EQ(1700000000u, dump.timeDateStamp());

    const std::set<std::uint32_t> expected = {3,          4,          5,          7,
                                              0xF,        0x47670003, 0x47670004, 0x47670005,
                                              0x47670006, 0x47670008, 0x47670009, 0x4767000A};
    std::set<std::uint32_t> written;
    for (const minidump_test::Stream &stream : dump.streams())
        written.insert(stream.type);
    EXPECT_EQ(expected, written);
    EXPECT_EQ(expected.size(), dump.streams().size());
    EXPECT_EQ(nullptr, dump.findStream(0x47670007)) << "the environment is never written";
}

TEST(MinidumpSerialiser, SystemAndMiscInformationIdentifyAnAmd64LinuxProcess)
{
    FakeProcess process;
    const Minidump dump = parseOrFail(*serialiseMinidump(process.model));
    EXPECT_EQ(9, dump.processorArchitecture());
    EXPECT_EQ(0x8201u, dump.platformId());
    EXPECT_EQ(process.model.system.csdVersion, dump.csdVersion());
    EXPECT_EQ(std::optional<std::uint32_t>(4242), dump.processId());
}

TEST(MinidumpSerialiser, ThreadsKeepOrderContextsAndShareStackBytesWithTheMemoryList)
{
    FakeProcess process;
    const Minidump dump = parseOrFail(*serialiseMinidump(process.model));

    ASSERT_EQ(3u, dump.threads().size());
    EXPECT_EQ(4u + 3 * 48, dump.findStream(kThreadList)->location.size);
    ASSERT_EQ(2u, dump.memory().size()) << "a thread without a stack has no memory range";
    EXPECT_EQ(4u + 2 * 16, dump.findStream(kMemoryList)->location.size);

    for (std::size_t i = 0; i < 2; ++i) {
        const minidump_test::Thread &thread = dump.threads()[i];
        const DumpThread &source = process.model.threads[i];
        EXPECT_EQ(source.threadId, thread.threadId);
        EXPECT_EQ(1232u, thread.context.size);
        EXPECT_EQ(std::optional<std::uint32_t>(0x0010000B), dump.contextFlags(thread));
        EXPECT_EQ(source.context->rsp, dump.contextValue(thread, minidump_test::kContextRsp));
        EXPECT_EQ(source.context->rip, dump.contextValue(thread, minidump_test::kContextRip));
        // One copy of the bytes, referenced by the thread and by the memory list.
        EXPECT_EQ(source.stack.address, thread.stackStart);
        EXPECT_EQ(source.stack.address, dump.memory()[i].start);
        EXPECT_EQ(thread.stack.rva, dump.memory()[i].bytes.rva);
        EXPECT_EQ(source.stack.bytes.size, thread.stack.size);
        EXPECT_EQ(std::vector<std::uint8_t>(source.stack.bytes.data,
                                            source.stack.bytes.data + source.stack.bytes.size),
                  dump.readMemory(source.stack.address, source.stack.bytes.size));
    }
    const minidump_test::Thread &withoutContext = dump.threads()[2];
    EXPECT_EQ(102u, withoutContext.threadId);
    EXPECT_EQ(0u, withoutContext.context.size);
    EXPECT_EQ(0u, withoutContext.stack.size);
}

TEST(MinidumpSerialiser, ModulesAre108ByteRecordsWithUtf16NamesAndBuildIdCodeView)
{
    FakeProcess process;
    const Minidump dump = parseOrFail(*serialiseMinidump(process.model));

    ASSERT_EQ(2u, dump.modules().size());
    EXPECT_EQ(4u + 2 * 108, dump.findStream(kModuleList)->location.size);
    const minidump_test::Module &app = dump.modules()[0];
    EXPECT_EQ(0x5555'0000u, app.base);
    EXPECT_EQ(0x3000u, app.size);
    EXPECT_EQ("/opt/app/bin/app", app.name);
    const std::vector<std::uint8_t> codeView = {'L',  'E',  'p', 'B', 0xDE, 0xAD,
                                                0xBE, 0xEF, 1,   2,   3,    4};
    EXPECT_EQ(codeView, app.codeView);

    const minidump_test::Module &library = dump.modules()[1];
    EXPECT_EQ("/opt/app/lib/libüñï.so", library.name);
    EXPECT_TRUE(library.codeView.empty()) << "no build id: no CodeView record at all";
}

TEST(MinidumpSerialiser, LinuxStreamsHoldTheCapturedBytesAndAnAbsentFileIsEmpty)
{
    FakeProcess process;
    const Minidump dump = parseOrFail(*serialiseMinidump(process.model));

    EXPECT_EQ(process.model.cpuInfo, dump.streamText(0x47670003));
    EXPECT_EQ(process.model.procStatus, dump.streamText(0x47670004));
    EXPECT_EQ(process.model.cmdLine, dump.streamText(0x47670006));
    EXPECT_EQ(process.model.auxv, dump.streamText(0x47670008));
    EXPECT_EQ(process.model.maps, dump.streamText(0x47670009));
    ASSERT_NE(nullptr, dump.findStream(kLsbRelease));
    EXPECT_EQ(0u, dump.findStream(kLsbRelease)->location.size);
    EXPECT_EQ(0u, dump.findStream(kLsbRelease)->location.rva);
}

TEST(MinidumpSerialiser, DsoDebugCarriesTheDynamicSectionAndTheLinkMap)
{
    FakeProcess process;
    const Minidump dump = parseOrFail(*serialiseMinidump(process.model));

    const std::vector<std::uint8_t> stream = dump.streamBytes(kDsoDebug);
    ASSERT_EQ(40u + 32, stream.size());
    std::uint64_t dynamicAddress = 0;
    std::memcpy(&dynamicAddress, stream.data() + 0x20, 8);
    EXPECT_EQ(process.model.dsoDebug->dynamicAddress, dynamicAddress);
    EXPECT_EQ(std::vector<std::uint8_t>(32, 0x0D),
              std::vector<std::uint8_t>(stream.begin() + 40, stream.end()));
    ASSERT_EQ(2u, dump.linkMap().size());
    EXPECT_EQ(0x7f00'0000u, dump.linkMap()[1].address);
    EXPECT_EQ("/opt/app/lib/libüñï.so", dump.linkMap()[1].name);
    EXPECT_EQ(0x7f00'9000u, dump.linkMap()[1].ld);

    process.model.dsoDebug.reset();
    const Minidump without = parseOrFail(*serialiseMinidump(process.model));
    EXPECT_EQ(nullptr, without.findStream(kDsoDebug));
    EXPECT_EQ(11u, without.streams().size());
}

TEST(MinidumpSerialiser, AnEmptyModelStillMakesAValidFile)
{
    const Minidump dump = parseOrFail(*serialiseMinidump(DumpModel{}));
    EXPECT_TRUE(dump.threads().empty());
    EXPECT_TRUE(dump.modules().empty());
    EXPECT_EQ(4u, dump.findStream(kThreadList)->location.size);
}

TEST(MinidumpSerialiser, RefusesWhatA32BitRvaCannotAddressInsteadOfWrapping)
{
    FakeProcess process;
    // Claims 5 GiB; the range check must refuse it before a single byte is read.
    process.model.threads[0].stack.bytes.size = std::size_t{5} << 30;
    EXPECT_FALSE(serialiseMinidump(process.model));

    FakeProcess hugeModule;
    hugeModule.model.modules[0].size = std::uint64_t{1} << 32;
    EXPECT_FALSE(serialiseMinidump(hugeModule.model));
}

struct Utf16Case {
    const char *name;
    std::string utf8;
    std::u16string utf16;
};

class Utf16Conversion : public testing::TestWithParam<Utf16Case>
{
};

TEST_P(Utf16Conversion, GivesValidUtf16)
{
    EXPECT_EQ(GetParam().utf16, utf16FromUtf8(GetParam().utf8));
}

INSTANTIATE_TEST_SUITE_P(
    Names, Utf16Conversion,
    testing::Values(
        Utf16Case{"Ascii", "/usr/lib/libc.so.6", u"/usr/lib/libc.so.6"},
        Utf16Case{"TwoAndThreeByteSequences", "/t/é缓存", u"/t/é缓存"},
        Utf16Case{"BeyondTheBmpBecomesASurrogatePair", "/t/\xF0\x9F\x98\x80", u"/t/\U0001F600"},
        Utf16Case{"InvalidBytesBecomeReplacementCharacters", "/t/\xFF\xC3", u"/t/\uFFFD\uFFFD"},
        Utf16Case{"EncodedSurrogateIsInvalid", "/t/\xED\xA0\x80", u"/t/\uFFFD\uFFFD\uFFFD"}),
    [](const testing::TestParamInfo<Utf16Case> &info) { return info.param.name; });

// The reader is the oracle of every other test here, so it must reject what LLDB rejects.
struct Corruption {
    const char *name;
    void (*apply)(std::vector<std::uint8_t> &image);
    const char *expectedError;
};

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

// Offset of the directory entry for `type`.
std::size_t entryOf(const std::vector<std::uint8_t> &image, std::uint32_t type)
{
    for (std::size_t at = 32;; at += 12) {
        if (read32(image, at) == type)
            return at;
    }
}

class ReaderRejects : public testing::TestWithParam<Corruption>
{
};

TEST_P(ReaderRejects, ACorruptedDump)
{
    FakeProcess process;
    std::vector<std::uint8_t> image = *serialiseMinidump(process.model);
    GetParam().apply(image);
    std::string error;
    EXPECT_FALSE(Minidump::parse(image, error));
    EXPECT_NE(std::string::npos, error.find(GetParam().expectedError)) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReaderRejects,
    testing::Values(
        Corruption{"CutAfterTheDirectory",
                   [](std::vector<std::uint8_t> &i) { i.resize(32 + 12 * 12); },
                   "outside the file"},
        Corruption{"StackBytesCutOff",
                   [](std::vector<std::uint8_t> &i) { i.resize(i.size() - 100); },
                   "bad stack or context"},
        Corruption{"NoSignature", [](std::vector<std::uint8_t> &i) { write32(i, 0, 0); },
                   "bad header"},
        Corruption{
            "DuplicateType",
            [](std::vector<std::uint8_t> &i) { write32(i, entryOf(i, 0x47670003), kModuleList); },
            "duplicate stream type"},
        Corruption{"ModuleListRoundedUp",
                   [](std::vector<std::uint8_t> &i) {
                       const std::size_t entry = entryOf(i, kModuleList);
                       write32(i, entry + 4, read32(i, entry + 4) + 4);
                   },
                   "module list size"},
        Corruption{"ContextBeyondTheEnd",
                   [](std::vector<std::uint8_t> &i) {
                       const std::uint32_t list = read32(i, entryOf(i, kThreadList) + 8);
                       write32(i, list + 4 + 0x2C, static_cast<std::uint32_t>(i.size()));
                   },
                   "bad stack or context"},
        Corruption{"OddNameLength",
                   [](std::vector<std::uint8_t> &i) {
                       const std::uint32_t list = read32(i, entryOf(i, kModuleList) + 8);
                       const std::uint32_t name = read32(i, list + 4 + 0x14);
                       write32(i, name, read32(i, name) + 1);
                   },
                   "bad name"}),
    [](const testing::TestParamInfo<Corruption> &info) { return info.param.name; });

} // namespace

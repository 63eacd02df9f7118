// The serialiser, fed a made-up model and read back with the strict test reader.
#include "minidump/minidump_reader.h"
#include "platform/minidump/serialiser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

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
        const std::optional<std::vector<std::uint8_t>> image = serialiseMinidump(model);
        EXPECT_TRUE(image);
        std::string error;
        std::optional<Minidump> dump =
            Minidump::parse(image.value_or(std::vector<std::uint8_t>{}), error);
        EXPECT_TRUE(dump) << error;
        return dump ? *dump : Minidump();
    }

    std::vector<std::uint8_t> mainStack = std::vector<std::uint8_t>(8192, 0xA1);
    std::vector<std::uint8_t> workerStack = std::vector<std::uint8_t>(4096, 0xB2);
    DumpModel model;
};

TEST_F(Serialiser, WritesEachStreamOnceButNeverTheEnvironment)
{
    const Minidump dump = serialiseAndParse();
    EXPECT_EQ(1700000000u, dump.timeDateStamp);
    std::set<std::uint32_t> written;
    for (const minidump_test::Stream &stream : dump.streams)
        written.insert(stream.type);
    EXPECT_EQ((std::set<std::uint32_t>{3, 4, 5, 7, 0xF, 0x47670003, 0x47670004, 0x47670005,
                                       0x47670006, 0x47670008, 0x47670009, 0x4767000A}),
              written);
    EXPECT_EQ(written.size(), dump.streams.size());
    ASSERT_NE(nullptr, dump.findStream(kLsbRelease));
    EXPECT_EQ(0u, dump.findStream(kLsbRelease)->location.size) << "an absent file is empty";
    EXPECT_EQ(9, dump.processorArchitecture) << "AMD64";
    EXPECT_EQ(0x8201u, dump.platformId) << "Linux";
    EXPECT_EQ(model.system.csdVersion, dump.csdVersion);
    EXPECT_EQ(std::optional<std::uint32_t>(4242), dump.processId);
}

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

TEST_F(Serialiser, DsoDebugCarriesTheDynamicSectionAndTheLinkMapAndIsLeftOutWithoutOne)
{
    const Minidump dump = serialiseAndParse();
    const std::vector<std::uint8_t> stream = dump.streamBytes(kDsoDebug);
    ASSERT_EQ(40u + 32, stream.size());
    std::uint64_t dynamicAddress = 0;
    std::memcpy(&dynamicAddress, stream.data() + 0x20, 8);
    EXPECT_EQ(model.dsoDebug->dynamicAddress, dynamicAddress);
    EXPECT_EQ(std::vector<std::uint8_t>(32, 0x0D),
              std::vector<std::uint8_t>(stream.begin() + 40, stream.end()));
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
    EXPECT_FALSE(serialiseMinidump(model));
    model.threads[0].stack.bytes.size = mainStack.size();
    model.modules[0].size = std::uint64_t{1} << 32;
    EXPECT_FALSE(serialiseMinidump(model));
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
    const Image valid = *serialiseMinidump(model);
    for (const auto &corruption : corruptions) {
        Image image = valid;
        corruption.apply(image);
        std::string error;
        EXPECT_FALSE(Minidump::parse(image, error));
        EXPECT_NE(std::string::npos, error.find(corruption.expectedError)) << error;
    }
}

} // namespace

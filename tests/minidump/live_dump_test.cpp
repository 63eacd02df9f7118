// Dumps of this test process (a QGuiApplication), read back and compared with what the
// process knows about itself.
#include "minidump/dump_test_support.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"
#include "support/sanitizers.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <set>
#include <thread>
#include <unistd.h>

namespace
{

using dumptest::WorkerThread;
using minidump_test::Minidump;

constexpr std::uint32_t kControlOnly = 0x00100001;
constexpr std::uint32_t kFromSignal = 0x0010000B; // control, integer and floating point

std::uint32_t contextFlags(const Minidump &dump, const minidump_test::Thread &thread)
{
    return static_cast<std::uint32_t>(dump.contextValue(thread, 0x30).value_or(0));
}

bool inSomeModule(const Minidump &dump, std::uint64_t address)
{
    return std::any_of(dump.modules.begin(), dump.modules.end(),
                       [&](const minidump_test::Module &m) {
                           return address >= m.base && address - m.base < m.size;
                       });
}

// Waits until `worker` sits in a system call (its idle wait), as the kernel reports it.
void awaitSystemCall(const WorkerThread &worker)
{
    const auto deadline = std::chrono::steady_clock::now() + dumptest::kSafetyTimeout;
    while (!platform::linux_impl::readSyscallStop(worker.threadId()) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
}

class LiveDump : public testing::Test
{
protected:
    std::string dumpPath(const char *name) const { return directory.filePath(name).toStdString(); }

    Minidump dumpAndLoad(const char *name, dumptest::DumpResult *result = nullptr)
    {
        const dumptest::DumpResult written = dumptest::dumpFromAnotherThread(dumpPath(name));
        EXPECT_TRUE(written.written);
        if (result)
            *result = written;
        return dumptest::loadDump(dumpPath(name));
    }

    static std::optional<minidump_test::Thread> threadOf(const Minidump &dump, pid_t id)
    {
        for (const minidump_test::Thread &thread : dump.threads)
            if (thread.threadId == std::uint32_t(id))
                return thread;
        return std::nullopt;
    }

    QTemporaryDir directory;
    WorkerThread workers[3];
};

TEST_F(LiveDump, ListsEveryThreadWithTheMainThreadFirstAndItsStackAroundItsStackPointer)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers the dump signal of a thread blocked in a call";
    dumptest::DumpResult result;
    const Minidump dump = dumpAndLoad("threads.dmp", &result);

    std::multiset<pid_t> listed;
    for (const minidump_test::Thread &thread : dump.threads)
        listed.insert(static_cast<pid_t>(thread.threadId));
    EXPECT_EQ(std::multiset<pid_t>(result.threadsAtDump.begin(), result.threadsAtDump.end()),
              listed);
    ASSERT_FALSE(dump.threads.empty());
    EXPECT_EQ(static_cast<std::uint32_t>(getpid()), dump.threads[0].threadId);

    std::size_t withStack = 0;
    for (const minidump_test::Thread &thread : dump.threads) {
        SCOPED_TRACE("thread " + std::to_string(thread.threadId));
        const std::optional<std::uint64_t> sp =
            dump.contextValue(thread, minidump_test::kContextRsp);
        const std::optional<std::uint64_t> ip =
            dump.contextValue(thread, minidump_test::kContextRip);
        ASSERT_TRUE(sp && ip) << "no thread here blocks the dump signal";
        EXPECT_EQ(kFromSignal, contextFlags(dump, thread));
        EXPECT_TRUE(dump.readMemory(*sp, 8)) << "the stack copy covers the stack pointer";
        EXPECT_TRUE(inSomeModule(dump, *ip)) << "the instruction pointer lies in a module";
        withStack += thread.stack.size > 0;
    }
    EXPECT_EQ(withStack, dump.memory.size())
        << "every stack, and nothing else, is in the memory list";
    EXPECT_TRUE(threadOf(dump, result.dumper)) << "the dumping thread describes itself too";
}

TEST_F(LiveDump, ModulesStartWithTheExecutableAndCarryTheRealBuildIds)
{
    const Minidump dump = dumpAndLoad("modules.dmp");
    char executable[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", executable, sizeof executable - 1), 0);

    ASSERT_FALSE(dump.modules.empty());
    EXPECT_EQ(executable, dump.modules[0].name);
    const std::string qtCoreName = "/libQt" QT_STRINGIFY(QT_VERSION_MAJOR) "Core.so";
    const auto qtCore =
        std::find_if(dump.modules.begin(), dump.modules.end(), [&](const minidump_test::Module &m) {
            return m.name.find(qtCoreName) != std::string::npos;
        });
    ASSERT_NE(dump.modules.end(), qtCore);

    for (const minidump_test::Module *module : {&dump.modules[0], &*qtCore}) {
        SCOPED_TRACE(module->name);
        const std::vector<std::uint8_t> buildId = dumptest::buildIdFromReadelf(module->name);
        ASSERT_FALSE(buildId.empty()) << "readelf found no build id";
        std::vector<std::uint8_t> expected = {'L', 'E', 'p', 'B'};
        expected.insert(expected.end(), buildId.begin(), buildId.end());
        EXPECT_EQ(expected, module->codeView);
    }

    // The dynamic linker's own list agrees on where Qt Core was loaded.
    const auto linked = std::find_if(
        dump.linkMap.begin(), dump.linkMap.end(),
        [&](const minidump_test::LinkMapEntry &e) { return e.address == qtCore->base; });
    ASSERT_NE(dump.linkMap.end(), linked);
    EXPECT_NE(std::string::npos, linked->name.find(qtCoreName)) << linked->name;
}

TEST_F(LiveDump, SystemAndLinuxStreamsDescribeThisProcessButNotItsEnvironment)
{
    const Minidump dump = dumpAndLoad("streams.dmp");
    EXPECT_EQ(0u, dump.csdVersion.rfind("Linux ", 0));
    EXPECT_EQ(std::optional<std::uint32_t>(getpid()), dump.processId);
    EXPECT_NE(std::string::npos,
              dump.streamText(0x47670004).find("Pid:\t" + std::to_string(getpid()) + "\n"));
    EXPECT_EQ(platform::linux_impl::readWholeFile("/proc/self/cmdline"),
              dump.streamText(0x47670006));
    EXPECT_EQ(0u, dump.streamText(0x47670003).rfind("processor", 0));
    EXPECT_EQ(platform::linux_impl::readWholeFile("/etc/lsb-release").value_or(""),
              dump.streamText(0x47670005));
    EXPECT_NE(std::string::npos, dump.streamText(0x47670009).find(dump.modules[0].name));
    const std::vector<std::uint8_t> auxv = dump.streamBytes(0x47670008);
    ASSERT_GE(auxv.size(), 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(16, 0),
              std::vector<std::uint8_t>(auxv.end() - 16, auxv.end()))
        << "ends with AT_NULL";
    EXPECT_EQ(nullptr, dump.findStream(0x47670007)) << "no environment stream";
}

TEST_F(LiveDump, AThreadThatBlocksTheSignalIsDescribedFromItsSystemCall)
{
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(); }));
    awaitSystemCall(workers[0]);
    const Minidump dump = dumpAndLoad("blocked.dmp");

    const minidump_test::Thread blocked = threadOf(dump, workers[0].threadId()).value();
    EXPECT_EQ(kControlOnly, contextFlags(dump, blocked)) << "only what the kernel told";
    const std::uint64_t sp = dump.contextValue(blocked, minidump_test::kContextRsp).value();
    const std::uint64_t ip = dump.contextValue(blocked, minidump_test::kContextRip).value();
    EXPECT_TRUE(inSomeModule(dump, ip)) << std::hex << ip;
    EXPECT_GE(sp, blocked.stackStart);
    EXPECT_TRUE(dump.readMemory(sp, 64)) << "its stack from the stack pointer up";
    EXPECT_EQ(kFromSignal, contextFlags(dump, threadOf(dump, workers[1].threadId()).value()));
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(false); }));
}

// A thread that answers the signal only after the dump must neither write nor be parked.
TEST_F(LiveDump, ALateAnswerNeitherWritesNorParks)
{
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(); }));
    awaitSystemCall(workers[0]);
    platform::linux_impl::setSignalBlockingThreadsForTesting(true);
    const Minidump first = dumpAndLoad("late-1.dmp");
    platform::linux_impl::setSignalBlockingThreadsForTesting(false);
    EXPECT_EQ(kControlOnly, contextFlags(first, threadOf(first, workers[0].threadId()).value()));

    // A parked handler would hold this task for ten seconds.
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(false); }, std::chrono::seconds(5)));

    const Minidump second = dumpAndLoad("late-2.dmp");
    EXPECT_EQ(kFromSignal, contextFlags(second, threadOf(second, workers[0].threadId()).value()));
}

TEST(SyscallStop, ReadsTheStackAndInstructionPointersOnlyInsideASystemCall)
{
    using platform::linux_impl::parseSyscallStop;
    using platform::linux_impl::SyscallStop;
    const struct {
        const char *text;
        std::optional<SyscallStop> expected;
    } cases[] = {
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10 0x7f5503\n",
         SyscallStop{202, 0x7ffc10, 0x7f5503}},
        {"0 0x3 0x1 0x1 0x0 0x0 0x0 0x10 0x20", SyscallStop{0, 0x10, 0x20}},
        {"running\n", std::nullopt},
        {"-1 0x7ffc10 0x7f5503\n", std::nullopt}, // blocked, but not in a system call
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10\n", std::nullopt},
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10 7f5503\n", std::nullopt},
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10 0x7f5503 0x1\n", std::nullopt},
        {"99999999999 0x0 0x0 0x0 0x0 0x0 0x0 0x10 0x20", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &[text, expected] : cases) {
        const std::optional<SyscallStop> stop = parseSyscallStop(text);
        EXPECT_EQ(expected.has_value(), stop.has_value()) << text;
        if (expected && stop) {
            EXPECT_EQ(expected->number, stop->number) << text;
            EXPECT_EQ(expected->sp, stop->sp) << text;
            EXPECT_EQ(expected->pc, stop->pc) << text;
        }
    }
}

} // namespace

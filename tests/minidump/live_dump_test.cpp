// Dumps of this test process (a QGuiApplication), read back and compared with what the
// process knows about itself.
#include "minidump/dump_test_support.h"
#include "platform/linux/minidump_proc_linux.h"
#include "platform/linux/minidump_thread_freezer_linux.h"
#include "platform/linux/minidump_writer_linux.h"
#include "support/sanitizers.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace
{

using dumptest::WorkerThread;
using minidump_test::Minidump;

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
        EXPECT_TRUE(dump.readMemory(*sp, 8)) << "the stack copy covers the stack pointer";
        EXPECT_TRUE(std::any_of(
            dump.modules.begin(), dump.modules.end(),
            [&](const minidump_test::Module &m) { return *ip >= m.base && *ip - m.base < m.size; }))
            << "the instruction pointer lies in a module";
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

TEST_F(LiveDump, AThreadThatBlocksTheSignalIsListedWithoutContextAndTheDumpIsStillWritten)
{
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(); }));
    const Minidump dump = dumpAndLoad("blocked.dmp");

    const std::optional<minidump_test::Thread> blocked = threadOf(dump, workers[0].threadId());
    ASSERT_TRUE(blocked);
    EXPECT_EQ(0u, blocked->context.size);
    EXPECT_EQ(0u, blocked->stack.size);
    EXPECT_NE(0u, threadOf(dump, workers[1].threadId()).value().context.size);
    EXPECT_NE(0u, threadOf(dump, getpid()).value().context.size);
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(false); }));
}

// A thread that answers the signal only after the dump must neither write nor be parked.
TEST_F(LiveDump, ALateAnswerNeitherWritesNorParks)
{
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(); }));
    platform::linux_impl::setSignalBlockingThreadsForTesting(true);
    const Minidump first = dumpAndLoad("late-1.dmp");
    platform::linux_impl::setSignalBlockingThreadsForTesting(false);
    EXPECT_EQ(0u, threadOf(first, workers[0].threadId()).value().context.size);

    // A parked handler would hold this task for ten seconds.
    ASSERT_TRUE(workers[0].run([] { dumptest::blockAllSignals(false); }, std::chrono::seconds(5)));

    const Minidump second = dumpAndLoad("late-2.dmp");
    EXPECT_NE(0u, threadOf(second, workers[0].threadId()).value().context.size);
}

// The writer must not need a lock (the allocator's above all) that a stopped thread may hold.
TEST_F(LiveDump, HundredDumpsWhileTheGuiThreadAllocatesAsFastAsItCan)
{
    constexpr int kDumps = 100;
    std::atomic<bool> done{false};
    std::atomic<int> written{0};
    std::atomic<long long> slowestMs{0};
    const std::string path = dumpPath("stress.dmp");

    std::thread dumper([&] {
        for (int i = 0; i < kDumps; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            written += fd >= 0 && platform::linux_impl::writeMinidump(fd);
            close(fd);
            const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            slowestMs = std::max(slowestMs.load(), ms);
        }
        done = true;
    });
    // The GUI thread: allocations of assorted sizes, each freed at once or a little later.
    std::vector<void *> held(64, nullptr);
    for (unsigned i = 0; !done; ++i) {
        std::free(held[i % held.size()]);
        held[i % held.size()] = std::malloc(16 + (i * 7919) % 8192);
    }
    dumper.join();
    for (void *block : held)
        std::free(block);

    EXPECT_EQ(kDumps, written.load());
    // A deadlock shows as a dump lasting until the parked handler gives up, ten seconds later.
    EXPECT_LT(slowestMs.load(), 5000);
    dumptest::loadDump(path);
}

} // namespace

// ANRCollector::writeMiniDump end to end: the file's name, place, mode and fate, the result
// and the log lines.
#include "detector/anr_collector.h"
#include "keel_standin.h"
#include "minidump/dump_test_support.h"
#include "platform/clock.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"
#include "platform/process_dump.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace
{

constexpr char kSuccess[] = "anr dump create success";
constexpr char kFailed[] = "anr dump create failed.";
constexpr char kAccessViolation[] = "anr dump create failed with access violation.";

class CollectorDump : public testing::Test
{
protected:
    CollectorDump()
    {
        standin::log::enable();
        standin::log::clear();
        collector->cacheDir = directory.path();
    }

    // Runs writeMiniDump on a thread of its own, as the watchdog does.
    std::string writeMiniDump(bool injectFault = false)
    {
        std::string path;
        std::thread([&] {
            if (injectFault) {
                platform::injectFaultIntoNextDumpForTesting();
#if defined(__SANITIZE_ADDRESS__)
                __lsan_disable(); // the fault jumps past frames that own heap memory
#endif
            }
            // As the GUI thread would be when stuck: waiting in a system call (here, the join).
            const auto deadline = std::chrono::steady_clock::now() + dumptest::kSafetyTimeout;
            while (!platform::linux_impl::readSyscallStop(getpid()) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            path = collector->writeMiniDump();
        }).join();
        return path;
    }

    QStringList filesInCache() const
    {
        return QDir(collector->cacheDir).entryList(QDir::Files);
    }

    QTemporaryDir directory;
    std::unique_ptr<ANRCollector> collector = ANRCollector::createWithoutWatchdogForTesting();
};

TEST_F(CollectorDump, WritesAnOwnerOnlyDumpNamedByTheMillisecondEvenWithAPermissiveUmask)
{
    // A second either way still tells wall-clock milliseconds from any other count.
    const long long before = platform::wallClockMs() - 1000;
    const mode_t previousMask = umask(0);
    const std::string path = writeMiniDump();
    umask(previousMask);
    const long long after = platform::wallClockMs() + 1000;

    ASSERT_FALSE(path.empty());
    const QFileInfo file(QString::fromStdString(path));
    EXPECT_EQ(QDir(directory.path()).filePath(file.fileName()).toStdString(), path);
    ASSERT_TRUE(file.fileName().endsWith(".dmp"));
    EXPECT_FALSE(file.completeBaseName().startsWith('0'));
    bool isNumber = false;
    const long long ms = file.completeBaseName().toLongLong(&isNumber);
    EXPECT_TRUE(isNumber);
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, after);

    struct stat status {
    };
    ASSERT_EQ(0, stat(path.c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 0777);
    dumptest::loadDump(path);
    EXPECT_EQ(std::vector<std::string>{kSuccess}, standin::log::lines());
}

long long fixedMillisecond()
{
    return 1700000000123;
}

TEST_F(CollectorDump, DumpsInOneMillisecondTakeTheNextFreeNamesAndLeaveEarlierOnesAlone)
{
    collector->setWallClockForTesting(&fixedMillisecond);
    const std::string first = writeMiniDump();
    ASSERT_EQ(QDir(directory.path()).filePath("1700000000123.dmp").toStdString(), first);
    QFile file(QString::fromStdString(first));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray firstBytes = file.readAll();
    // Someone else's file (or a link) holds the name after it.
    ASSERT_TRUE(QFile::link("elsewhere", directory.filePath("1700000000124.dmp")));

    EXPECT_EQ(QDir(directory.path()).filePath("1700000000125.dmp").toStdString(), writeMiniDump());
    EXPECT_EQ(QDir(directory.path()).filePath("1700000000126.dmp").toStdString(), writeMiniDump());
    EXPECT_EQ((std::vector<std::string>{kSuccess, kSuccess, kSuccess}), standin::log::lines());
    EXPECT_EQ((QStringList{"1700000000123.dmp", "1700000000125.dmp", "1700000000126.dmp"}),
              filesInCache());
    ASSERT_TRUE(file.seek(0));
    EXPECT_EQ(firstBytes, file.readAll()) << "the existing dump is untouched";
    EXPECT_FALSE(QFileInfo::exists(directory.filePath("elsewhere")));
}

TEST_F(CollectorDump, AnUnusableCacheDirectoryGivesAnEmptyResultWithoutALogLine)
{
    ASSERT_TRUE(QFile(directory.filePath("a-file")).open(QIODevice::WriteOnly));
    // "/proc" refuses new files even to root, who ignores permission bits.
    for (const QString &cache :
         {directory.filePath("missing"), directory.filePath("a-file/below"), QString("/proc")}) {
        collector->cacheDir = cache;
        EXPECT_EQ("", writeMiniDump()) << cache.toStdString();
    }
    EXPECT_TRUE(standin::log::lines().empty());
}

TEST_F(CollectorDump, ANonAsciiCachePathComesBackAsUtf8NamingTheFile)
{
    const QString cache = directory.filePath(QString::fromUtf8("缓存 ünï \xF0\x9F\x98\x80"));
    ASSERT_TRUE(QDir().mkpath(cache));
    collector->cacheDir = cache;

    const std::string path = writeMiniDump();
    ASSERT_FALSE(path.empty());
    const QString decoded = QString::fromUtf8(path.c_str(), static_cast<int>(path.size()));
    EXPECT_EQ(path, decoded.toUtf8().toStdString()) << "valid UTF-8 round-trips unchanged";
    EXPECT_FALSE(decoded.contains(QChar::ReplacementCharacter));
    EXPECT_TRUE(decoded.startsWith(cache));
    EXPECT_TRUE(QFileInfo::exists(decoded));
    dumptest::loadDump(path);
}

TEST_F(CollectorDump, AnInjectedFaultIsLoggedTheFileDeletedAndParkedThreadsReleased)
{
    dumptest::WorkerThread worker; // answers the dump signal, so it is parked when the fault hits
    EXPECT_EQ("", writeMiniDump(/*injectFault=*/true));

    EXPECT_EQ((std::vector<std::string>{kAccessViolation, kFailed}), standin::log::lines());
    EXPECT_TRUE(filesInCache().isEmpty());
    std::atomic<bool> ran{false};
    EXPECT_TRUE(worker.run([&] { ran = true; }, std::chrono::seconds(5)))
        << "the worker is still parked";
    EXPECT_TRUE(ran);

    standin::log::clear();
    const std::string next = writeMiniDump();
    EXPECT_FALSE(next.empty()) << "the writer works again after a fault";
    EXPECT_EQ(std::vector<std::string>{kSuccess}, standin::log::lines());
}

std::atomic<int> foreignHandlerRuns{0};
void foreignHandler(int, siginfo_t *, void *)
{
    ++foreignHandlerRuns;
}

TEST_F(CollectorDump, AReplacedSignalHandlerIsLoggedOnceAndTheGuiThreadSeenFromItsSystemCall)
{
    const int signal = platform::linux_impl::dumpSignalNumber();
    ASSERT_NE(0, signal);
    struct sigaction foreign {
    };
    foreign.sa_sigaction = &foreignHandler;
    foreign.sa_flags = SA_SIGINFO;
    struct sigaction ours {
    };
    ASSERT_EQ(0, sigaction(signal, &foreign, &ours));

    const std::string first = writeMiniDump();
    const std::string second = writeMiniDump();
    sigaction(signal, &ours, nullptr);

    const std::string replaced = "anr signal " + std::to_string(signal) +
                                 " handler was replaced; threads are dumped without it.";
    EXPECT_EQ((std::vector<std::string>{replaced, kSuccess, kSuccess}), standin::log::lines());
    EXPECT_EQ(0, foreignHandlerRuns.load()) << "no signal went to a handler not ours";
    ASSERT_FALSE(second.empty());
    const minidump_test::Minidump dump = dumptest::loadDump(first);
    ASSERT_FALSE(dump.threads.empty());
    // This thread, the process's main one, waits for the dumping thread in a system call.
    const minidump_test::Thread &main = dump.threads[0];
    EXPECT_EQ(static_cast<std::uint32_t>(getpid()), main.threadId);
    EXPECT_EQ(0x00100001u, dump.contextValue(main, 0x30).value_or(0) & 0xFFFFFFFF);
    const std::uint64_t sp = dump.contextValue(main, minidump_test::kContextRsp).value_or(0);
    EXPECT_TRUE(dump.readMemory(sp, 64)) << "its stack from the stack pointer up";
}

} // namespace

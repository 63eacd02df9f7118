// ANRCollector::writeMiniDump end to end on this test process: the file's name, place, mode
// and fate, the log lines, and threads that block or never receive the dump signal.
#include "cache/cache.h"
#include "detector/anr_collector.h"
#include "keel_standin.h"
#include "minidump/minidump_reader.h"
#include "platform/clock.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/process_dump.h"
#include "support/poll.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace
{

using minidump_test::Minidump;
namespace linux_impl = platform::linux_impl;

using testsupport::kSafetyTimeout;
constexpr std::uint32_t kControlOnly = 0x00100001;
constexpr std::uint32_t kFromSignal = 0x0010000B; // control, integer and floating point
constexpr char kSuccess[] = "anr dump create success";
// No capture helper lies beside a test executable: its first dump says it was taken in process.
constexpr char kInProcess[] =
    "anr dumps taken in process: keelanr-capture not found beside the library";

// Waits (with a safety net only) until thread `id` sits in a system call.
void waitInSystemCall(pid_t id)
{
    testsupport::pollUntil([id] { return linux_impl::readSyscallStop(id).has_value(); });
}

void blockSignals(int how)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(how, &all, nullptr);
}

class LiveDump : public testing::Test
{
protected:
    LiveDump()
    {
        standin::log::enable();
        standin::log::clear();
        collector->watchMainThread({}, dumpCache.get());
        worker = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex);
            while (wake.wait(lock, [this] { return stop || task; }), task) {
                const std::function<void()> next = std::exchange(task, nullptr);
                lock.unlock();
                next();
                lock.lock();
                ++tasksDone;
                wake.notify_all();
            }
        });
        runOnWorker([this] { workerId = linux_impl::currentThreadId(); });
    }
    ~LiveDump() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        wake.notify_all();
        worker.join();
    }

    // Runs `next` on the worker, a thread otherwise waiting in a system call; false when it has
    // not finished within `timeout`. A plain mutex and condition variable rather than a Qt
    // event loop, so that ThreadSanitizer sees the hand-over.
    bool runOnWorker(std::function<void()> next, std::chrono::milliseconds timeout = kSafetyTimeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        task = std::move(next);
        const int target = tasksDone + 1;
        wake.notify_all();
        return wake.wait_for(lock, timeout, [&] { return tasksDone == target; });
    }

    // Runs writeMiniDump on a thread of its own, as the watchdog does, while this (the main)
    // thread waits in a system call as a stuck GUI thread would.
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
            waitInSystemCall(getpid());
            path = collector->writeMiniDump();
        }).join();
        return path;
    }

    Minidump dumpAndLoad()
    {
        const std::string path = writeMiniDump();
        std::string error;
        std::optional<Minidump> dump = Minidump::load(path, error);
        EXPECT_TRUE(dump) << path << ": " << error;
        return dump ? *dump : Minidump();
    }

    QStringList filesInCache() const
    {
        return QDir(directory.path()).entryList(QDir::Files);
    }

    QTemporaryDir directory;
    const std::shared_ptr<cache::Cache> dumpCache =
        cache::Cache::open(directory.path().toStdString());
    std::unique_ptr<ANRCollector> collector = ANRCollector::createWithoutWatchdogForTesting();
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> task;
    int tasksDone = 0;
    bool stop = false;
    std::thread worker;
    pid_t workerId = 0;
};

TEST_F(LiveDump, AThreadThatBlocksTheSignalIsDescribedFromItsSystemCallAndALateAnswerIsDropped)
{
    ASSERT_TRUE(runOnWorker([] { blockSignals(SIG_BLOCK); }));
    waitInSystemCall(workerId);
    // Signalled all the same, it answers only after the dump: it must neither write nor be
    // parked then.
    linux_impl::setSignalBlockingThreadsForTesting(true);
    const Minidump late = dumpAndLoad();
    linux_impl::setSignalBlockingThreadsForTesting(false);
    const minidump_test::Thread *thread = late.findThread(workerId);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(kControlOnly, late.contextFlags(*thread)) << "only what the kernel told";
    const std::uint64_t sp = late.contextValue(*thread, minidump_test::kContextRsp).value();
    EXPECT_TRUE(late.inSomeModule(late.contextValue(*thread, minidump_test::kContextRip).value()));
    EXPECT_GE(sp, thread->stackStart);
    EXPECT_TRUE(late.readMemory(sp, 64)) << "its stack from the stack pointer up";
    EXPECT_EQ(kFromSignal, late.contextFlags(late.threads.at(0))) << "the main thread answered";
    // A parked handler would hold this task for ten seconds.
    ASSERT_TRUE(runOnWorker([] { blockSignals(SIG_UNBLOCK); }, std::chrono::seconds(5)));
    const Minidump answered = dumpAndLoad();
    ASSERT_NE(nullptr, answered.findThread(workerId));
    EXPECT_EQ(kFromSignal, answered.contextFlags(*answered.findThread(workerId)));
}

TEST(SyscallStop, ReadsTheStackAndInstructionPointersOnlyInsideASystemCall)
{
    const struct {
        const char *text;
        std::optional<linux_impl::SyscallStop> expected;
    } cases[] = {
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10 0x7f5503\n",
         linux_impl::SyscallStop{202, 0x7ffc10, 0x7f5503}},
        {"0 0x3 0x1 0x1 0x0 0x0 0x0 0x10 0x20", linux_impl::SyscallStop{0, 0x10, 0x20}},
        {"running\n", std::nullopt},
        {"-1 0x7ffc10 0x7f5503\n", std::nullopt}, // blocked, but not in a system call
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10\n", std::nullopt},
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10 7f5503\n", std::nullopt},
        {"202 0x7f1 0x80 0x2 0x0 0x0 0x0 0x7ffc10 0x7f5503 0x1\n", std::nullopt},
        {"99999999999 0x0 0x0 0x0 0x0 0x0 0x0 0x10 0x20", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(expected, linux_impl::parseSyscallStop(text)) << text;
}

TEST_F(LiveDump, OwnerOnlyDumpsAreNamedByTheMillisecondOrTheNextFreeOneAfterIt)
{
    // A second either way still tells wall-clock milliseconds from any other count.
    const long long before = platform::wallClockMs() - 1000;
    const QString name = QFileInfo(QString::fromStdString(writeMiniDump())).fileName();
    const long long ms = name.chopped(4).toLongLong();
    EXPECT_EQ(QString::number(ms) + ".dmp", name);
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, platform::wallClockMs() + 1000);
    ASSERT_TRUE(QFile::remove(directory.filePath(name))) << "in the cache directory";

    collector->setWallClockForTesting([] { return 1700000000123LL; });
    const mode_t previousMask = umask(0);
    const std::string first = writeMiniDump();
    umask(previousMask);
    ASSERT_EQ(directory.filePath("1700000000123.dmp").toStdString(), first);
    struct stat status {
    };
    ASSERT_EQ(0, stat(first.c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 0777) << "even with a permissive umask";
    QFile file(QString::fromStdString(first));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray firstBytes = file.readAll();
    // Someone else's file (or a link) holds the name after it.
    ASSERT_TRUE(QFile::link("elsewhere", directory.filePath("1700000000124.dmp")));
    EXPECT_EQ(directory.filePath("1700000000125.dmp").toStdString(), writeMiniDump());
    EXPECT_EQ(directory.filePath("1700000000126.dmp").toStdString(), writeMiniDump());
    EXPECT_EQ((std::vector<std::string>{kInProcess, kSuccess, kSuccess, kSuccess, kSuccess}),
              standin::log::lines());
    EXPECT_EQ((QStringList{"1700000000123.dmp", "1700000000125.dmp", "1700000000126.dmp"}),
              filesInCache());
    ASSERT_TRUE(file.seek(0));
    EXPECT_EQ(firstBytes, file.readAll()) << "the existing dump is untouched";
    EXPECT_FALSE(QFileInfo::exists(directory.filePath("elsewhere")));
    // With the 64 names from its millisecond on taken, it gives up.
    for (int ms = 127; ms < 187; ++ms)
        ASSERT_TRUE(
            QFile::link("elsewhere", directory.filePath(QString("1700000000%1.dmp").arg(ms))));
    EXPECT_EQ("", writeMiniDump());
    EXPECT_FALSE(QFileInfo::exists(directory.filePath("1700000000187.dmp")));
}

TEST_F(LiveDump, CachePathsUnusableGiveAnEmptyResultNonAsciiOnesComeBackAsUtf8)
{
    ASSERT_TRUE(QFile(directory.filePath("a-file")).open(QIODevice::WriteOnly));
    // "/proc" refuses new files even to root, who ignores permission bits.
    for (const QString &path : {directory.filePath("a-file/below"), QString("/proc")}) {
        const auto unusable = cache::Cache::open(path.toStdString());
        collector->watchMainThread({}, unusable->usable() ? unusable.get() : nullptr);
        EXPECT_EQ("", writeMiniDump()) << path.toStdString();
    }
    collector->watchMainThread({}, nullptr);
    EXPECT_EQ("", writeMiniDump()) << "no sink, no dump";
    standin::log::clear();

    const QString nonAscii = directory.filePath(QString::fromUtf8("缓存 ünï \xF0\x9F\x98\x80"));
    const auto made = cache::Cache::open(nonAscii.toStdString());
    collector->watchMainThread({}, made.get());
    const std::string path = writeMiniDump();
    const QString decoded = QString::fromUtf8(path.c_str(), static_cast<int>(path.size()));
    EXPECT_EQ(path, decoded.toUtf8().toStdString()) << "valid UTF-8 round-trips unchanged";
    EXPECT_TRUE(decoded.startsWith(nonAscii + "/")) << path;
    EXPECT_TRUE(QFileInfo(decoded).isFile());
}

TEST_F(LiveDump, AnInjectedFaultIsLoggedTheFileDeletedAndParkedThreadsReleased)
{
    // The worker answers the dump signal, so it is parked when the fault hits.
    EXPECT_EQ("", writeMiniDump(/*injectFault=*/true));
    EXPECT_EQ((std::vector<std::string>{"anr dump create failed with access violation.", kInProcess,
                                        "anr dump create failed."}),
              standin::log::lines());
    EXPECT_TRUE(filesInCache().isEmpty());
    EXPECT_TRUE(runOnWorker([] {}, std::chrono::seconds(5))) << "the worker is still parked";

    standin::log::clear();
    EXPECT_FALSE(writeMiniDump().empty()) << "the writer works again after a fault";
    EXPECT_EQ(std::vector<std::string>{kSuccess}, standin::log::lines());
}

std::atomic<int> foreignHandlerRuns{0};

TEST_F(LiveDump, AReplacedSignalHandlerIsLoggedOnceAndTheThreadsSeenFromTheirSystemCalls)
{
    const int signal = linux_impl::dumpSignalNumber();
    ASSERT_NE(0, signal);
    struct sigaction foreign {
    };
    foreign.sa_sigaction = [](int, siginfo_t *, void *) { ++foreignHandlerRuns; };
    foreign.sa_flags = SA_SIGINFO;
    struct sigaction ours {
    };
    ASSERT_EQ(0, sigaction(signal, &foreign, &ours));
    const Minidump dump = dumpAndLoad();
    writeMiniDump();
    sigaction(signal, &ours, nullptr);

    EXPECT_EQ((std::vector<std::string>{kInProcess,
                                        "anr signal " + std::to_string(signal) +
                                            " handler was replaced; threads are dumped without it.",
                                        kSuccess, kSuccess}),
              standin::log::lines());
    EXPECT_EQ(0, foreignHandlerRuns.load()) << "no signal went to a handler not ours";
    const minidump_test::Thread &main = dump.threads.at(0);
    EXPECT_EQ(kControlOnly, dump.contextFlags(main)) << "seen from its system call";
    EXPECT_TRUE(dump.readMemory(dump.contextValue(main, minidump_test::kContextRsp).value(), 64));
}

} // namespace

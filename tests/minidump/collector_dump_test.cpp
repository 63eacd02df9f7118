// ANRCollector::writeMiniDump end to end: the file's name, place, mode and fate, the result
// and the log lines.
#include "detector/anr_collector.h"
#include "keel_standin.h"
#include "minidump/dump_test_support.h"
#include "platform/clock.h"
#include "platform/minidump_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
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

TEST_F(CollectorDump, ASecondDumpInTheSameMillisecondFailsSilentlyAndLeavesTheFirstAlone)
{
    collector->setWallClockForTesting(&fixedMillisecond);
    const std::string first = writeMiniDump();
    ASSERT_EQ(QDir(directory.path()).filePath("1700000000123.dmp").toStdString(), first);
    QFile file(QString::fromStdString(first));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray firstBytes = file.readAll();

    standin::log::clear();
    EXPECT_EQ("", writeMiniDump());
    EXPECT_TRUE(standin::log::lines().empty());
    EXPECT_EQ(QStringList{"1700000000123.dmp"}, filesInCache());
    ASSERT_TRUE(file.seek(0));
    EXPECT_EQ(firstBytes, file.readAll()) << "the existing dump is untouched";
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

} // namespace

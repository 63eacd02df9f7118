// Faults a hostile or unlucky host meets in the cache: planted links and special files, a full
// disk, unsafe GUIDs, and what the cache keeps.
#include "cache/cache.h"
#include "config/cloud_configuration.h"
#include "platform/clock.h"
#include "platform/path_text.h"
#include "report/retry.h"
#include "support/report_fixture.h"
#include "sysinfo/build_number.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace reporttest;

// Older than this, an entry counts as an earlier run's.
constexpr long long kOld = 24LL * 3600 * 1000;
const char kReport[] = R"({"r": 1})";
const char kLagReport[] = "e/keel_lag_info.5.1019.json";

// False when `work` has not returned within a bounded time (it is left blocked).
bool finishesInTime(std::function<void()> work)
{
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(work));
    std::future<void> done = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    return done.wait_for(kSafetyTimeout) == std::future_status::ready;
}

// Sets the entry's modification time (not following a link) `ageMs` into the past.
// Sets the file's times to `ageMs` before `now`; every entry of a case is aged from one `now`,
// so their order does not depend on how long laying them out took.
void age(const QString &path, long long now, long long ageMs)
{
    const long long at = now - ageMs;
    const timespec times[2] = {{at / 1000, (at % 1000) * 1000000},
                               {at / 1000, (at % 1000) * 1000000}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

unsigned modeOf(const QString &path)
{
    struct stat status {
    };
    ::lstat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

std::map<QString, QByteArray> snapshot(const QString &directory)
{
    std::map<QString, QByteArray> files;
    for (const QString &file : tree(directory))
        files[file] = readFile(directory + "/" + file) + " mode " +
                      QByteArray::number(modeOf(directory + "/" + file), 8);
    return files;
}

enum class Kind { link, fifo };

void plant(Kind kind, const QString &at, const QString &target = {})
{
    QDir().mkpath(QFileInfo(at).absolutePath());
    const QByteArray path = QFile::encodeName(at);
    // A socket or device is refused by the same "not a regular file" check as a fifo.
    if (kind == Kind::link) {
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), path.constData()), 0);
    } else {
        ASSERT_EQ(::mkfifo(path.constData(), 0600), 0);
    }
}

class CacheFaults : public ReportTest
{
protected:
    QString outside() const { return root_.filePath("outside"); }
    // Lays files outside the cache an attacker would like the module to use; their snapshot.
    std::map<QString, QByteArray> layOutside() const
    {
        writeFile(outside() + "/canary.txt", "must survive");
        writeFile(outside() + "/keel_lag_info.5.1019.json", R"({"outside": true})");
        writeFile(outside() + "/1.dmp", "outside dump");
        writeFile(outside() + "/anr_config.ini", "[General]\nisOpen=\"1\"\nlag_first_time=1\n");
        return snapshot(outside());
    }
    CloudConfiguration merge(const std::map<std::string, std::string> &delivered) const
    {
        return mergeCloudConfiguration(delivered, *cache_);
    }
    // An empty cache directory, with no event sent and nothing logged yet.
    void emptyCache()
    {
        ASSERT_TRUE(QDir(cacheDir()).removeRecursively() && QDir().mkpath(cacheDir()));
        cache_ = cache::Cache::open(nativePathOf(cacheDir()));
        standin::tally::clearEvents();
        standin::log::clear();
    }
    static std::vector<std::string> sentPayloads()
    {
        std::vector<std::string> sent;
        for (const auto &event : standin::tally::events())
            sent.push_back(event.payload);
        return sent;
    }
};

TEST_F(CacheFaults, PlantedLinksAndSpecialFilesAreNeverFollowedAndEverythingOutsideSurvives)
{
    const struct {
        Kind kind;
        QString at, target; // in the cache; outside it
        bool withReport;    // a plain report beside it, which is sent
    } cases[] = {
        {Kind::link, "e", "", false},
        {Kind::link, kLagReport, "keel_lag_info.5.1019.json", false},
        {Kind::fifo, kLagReport, "", false},
        {Kind::link, "e/1.dmp", "1.dmp", true},
        {Kind::fifo, "e/1.dmp", "", true},
        {Kind::link, "e/sub", "", true},
        {Kind::link, "5.dmp", "1.dmp", false}, // old root dumps
        {Kind::fifo, "6.dmp", "", false},
    };
    const auto before = layOutside();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.at.toStdString() + " -> " + c.target.toStdString());
        emptyCache();
        if (c.withReport)
            writeFile(inCache(kLagReport), kReport);
        plant(c.kind, inCache(c.at), outside() + "/" + c.target);
        ASSERT_TRUE(finishesInTime([this] {
            retryCachedReports(*cache_, platform::wallClockMs() + kOld); // all left behind
        })) << "blocked";
        standin::upload::waitUntilIdle();

        EXPECT_EQ(sentPayloads(), std::vector<std::string>(c.withReport, kReport));
        EXPECT_TRUE(standin::upload::uploads().empty());
        EXPECT_EQ(snapshot(outside()), before);
    }
    // Two starts may clean one cache at once: what the other removed first counts as removed.
    EXPECT_TRUE(platform::Directory::makeAndOpen(nativePathOf(cacheDir())).remove("gone"));
}

TEST_F(CacheFaults, TheConfigurationIsReadOnlyFromARegularFileOfAtMostSixtyFourKibibytes)
{
    const auto before = layOutside();
    const QString ini = inCache("anr_config.ini");
    plant(Kind::link, ini, outside() + "/anr_config.ini");
    EXPECT_EQ(merge({}).lagFirstTime, 5000) << "the linked file is not read";
    EXPECT_TRUE(standin::log::contains("anr_config.ini ignored"));
    EXPECT_EQ(merge({{"lag_sw", "1"}, {"lag_first_time", "700"}}).lagFirstTime, 700);
    EXPECT_EQ(snapshot(outside()), before);
    EXPECT_FALSE(QFileInfo(ini).isSymLink()) << "the link is replaced, its target untouched";
    EXPECT_EQ(parseCachedConfiguration(readFile(ini).toStdString()).lagFirstTime, 700);
    // A call interrupted earlier on the thread leaves errno at EINTR: the end of the file must
    // not pass for another interruption.
    EXPECT_TRUE(finishesInTime([this] {
        errno = EINTR;
        EXPECT_EQ(merge({}).lagFirstTime, 700);
    }));

    // At the limit the file is read to its last byte, which the value ends with.
    for (const long long padding : {0LL, 1LL}) {
        const std::string head = "[General]\nisOpen=\"1\"\n;", tail = "\nlag_first_time=12";
        writeFile(
            ini,
            QByteArray::fromStdString(
                head + std::string(64 * 1024 - head.size() - tail.size() + padding, 'x') + tail));
        standin::log::clear();
        EXPECT_EQ(merge({}).lagFirstTime, padding == 0 ? 12 : 5000) << padding;
        EXPECT_EQ(standin::log::contains("anr_config.ini ignored"), padding == 1);
    }

    ASSERT_TRUE(QFile::remove(ini));
    plant(Kind::fifo, ini);
    EXPECT_TRUE(finishesInTime([this] { merge({}); }));
    const QString buildFile = root_.filePath("fernlea.ini");
    plant(Kind::fifo, buildFile);
    std::string value = "unset";
    EXPECT_TRUE(finishesInTime([&] {
        value = readIniValue(platform::pathFromBytes(QFile::encodeName(buildFile).toStdString()),
                             "build_info", "orla_ci_build_number");
    })) << "reading the build number blocked";
    EXPECT_EQ(value, "");
}

TEST_F(CacheFaults, CacheEntriesAreOwnerOnlyWhateverTheUmask)
{
    const mode_t previous = ::umask(0);
    const QString fresh = root_.filePath("host/keel-anr-cache");
    const bool made = cache::Cache::open(nativePathOf(fresh))->usable();
    ::chmod(QFile::encodeName(cacheDir()).constData(), 0777);
    cache_ = cache::Cache::open(nativePathOf(cacheDir()));
    cache_->writeReport("e", "keel_lag_info", 5, 1019, kReport);
    merge({{"lag_sw", "0"}});
    ::umask(previous);

    ASSERT_TRUE(made && cache_->usable());
    EXPECT_EQ(modeOf(fresh), 0700u);
    EXPECT_EQ(modeOf(cacheDir()), 0700u) << "an existing cache directory is narrowed";
    EXPECT_EQ(modeOf(inCache("e")), 0700u);
    EXPECT_EQ(modeOf(inCache("e/keel_lag_info.5.1019.json")), 0600u);
    EXPECT_EQ(modeOf(inCache("anr_config.ini")), 0600u);
}

// A disk that fills up: a report is cached whole or not at all, the configuration keeps its
// last complete content, and the retry never sends what a failed write left.
TEST_F(CacheFaults, AFullDiskLeavesWholeFilesOrNone)
{
    const std::string text = R"({"lag_time": 1700000000000, "lag_ground": "前台"})";
    const long long bytes = static_cast<long long>(text.size());
    const long long configBytes =
        static_cast<long long>(cachedConfigurationText({"0", 4321, 8000, 100}).size());
    merge({{"lag_sw", "1"}, {"lag_first_time", "1234"}});
    for (const long long room : {0LL, 1LL, bytes / 2, bytes - 1, bytes}) {
        SCOPED_TRACE(room);
        const bool fits = room >= bytes;
        standin::tally::clearEvents();
        cache::Cache::setWriteRoomForTesting(room);
        cache_->writeReport("e", "keel_lag_info", 5, 1019, text);
        cache::Cache::setWriteRoomForTesting(room * configBytes / bytes);
        merge({{"lag_sw", "0"}, {"lag_first_time", "4321"}});
        cache::Cache::setWriteRoomForTesting(-1);

        EXPECT_EQ(tree(cacheDir()),
                  fits ? QStringList({"anr_config.ini", "e/", "e/keel_lag_info.5.1019.json"})
                       : QStringList({"anr_config.ini", "e/"}))
            << "no partial or temporary file is left";
        EXPECT_EQ(parseCachedConfiguration(readFile(inCache("anr_config.ini")).toStdString())
                      .lagFirstTime,
                  fits ? 4321 : 1234);
        retryCachedReports(*cache_, platform::wallClockMs() + kOld);
        EXPECT_EQ(sentPayloads(), std::vector<std::string>(fits, text));
        EXPECT_EQ(tree(cacheDir()), QStringList({"anr_config.ini"}))
            << "the empty report directory is removed too";
    }
}

// What a start cleans up, in the retry's words: dumps no report took and report
// directories without a report go once an earlier run left them; dumps beyond the quota go
// (their order: cache_test).
TEST_F(CacheFaults, CleanupKeepsOnlyWhatMayStillBeUsedWithinTheQuota)
{
    struct Laid {
        QString path;
        long long ageMs;
    };
    constexpr long long kFresh = 1000;
    const struct {
        const char *name;
        std::vector<Laid> entries;
        std::vector<std::string> outcome;
    } cases[] = {
        {"RootDumpsOfAnEarlierRunGoFreshOnesStay",
         {{"100.dmp", kOld}, {"101.DMP", kOld}, {"102.dmp", kFresh}},
         {"[ANR] retryFailedCache deleted 2 dumps no report took", "left 102.dmp"}},
        {"ReportDirectoriesWithoutReportGoOnceLeftBehind",
         {{"a0/1.dmp", kOld},
          {"a0/.keel_lag_info.5.1019.json.1.0.tmp", kOld},
          {"f0/2.dmp", kFresh}},
         {"[ANR] retryFailedCache removed a report directory without report", "left f0/",
          "left f0/2.dmp"}},
        {"DumpsOverTheQuotaGo",
         {{"1.dmp", kFresh}, {"2.dmp", kFresh + 1}, {"3.dmp", kFresh + 2}},
         {"[ANR] retryFailedCache deleted 1 dumps over the cache quota", "left 1.dmp",
          "left 2.dmp"}},
        {"ReportsKeepTheirDumpsWithinTheQuota",
         {{"ab/keel_lag_info.5.1019.json", kOld}, {"100.dmp", kFresh}},
         {"sent keel_lag_info ab 5 1019 {}", "left 100.dmp"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        emptyCache();
        const long long now = platform::wallClockMs();
        for (const Laid &entry : c.entries) {
            const QString path = inCache(entry.path);
            writeFile(path, "{}");
            age(path, now, entry.ageMs);
            age(QFileInfo(path).absolutePath(), now, entry.ageMs);
        }
        cache_->setQuotaForTesting({2, 1LL << 30});
        retryCachedReports(*cache_, platform::wallClockMs());
        EXPECT_EQ(cacheOutcome(), c.outcome);
    }
}

} // namespace

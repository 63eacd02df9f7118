// The retry of cached reports: one send per report directory with its first identity, the
// dump uploaded first when there is one, and every directory that is not a readable report
// left alone.
#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "report/upload.h"
#include "support/report_fixture.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace
{

using namespace reporttest;
using standin::upload::Delivery;

// A file (or, with a trailing '/', a directory) below the cache directory.
struct Entry {
    QString path;
    QByteArray content;
};

class RetryTest : public ReportTest
{
protected:
    void lay(const std::vector<Entry> &entries)
    {
        for (const Entry &entry : entries) {
            if (entry.path.endsWith('/'))
                ASSERT_TRUE(QDir().mkpath(inCache(entry.path)));
            else
                writeFile(inCache(entry.path), entry.content);
        }
    }

    static void retry() { KeelAnrInternals::retryFailedCache(); }

    // "uploaded <dump>", then "sent <event> <guid> <first> <second> <text>", then "[ANR]" log
    // lines, then "left <entry>" for what stays in the cache.
    std::vector<std::string> outcome()
    {
        std::vector<std::string> outcome;
        for (const auto &upload : standin::upload::uploads())
            outcome.push_back("uploaded " +
                              QDir(cacheDir())
                                  .relativeFilePath(QString::fromStdString(upload.path))
                                  .toStdString());
        for (const auto &event : standin::tally::events()) {
            EXPECT_FALSE(event.hasDone) << "the retry asks for no outcome";
            outcome.push_back("sent " + event.name + " " + event.guid + " " +
                              std::to_string(event.first) + " " + std::to_string(event.second) +
                              " " + event.payload);
        }
        for (const std::string &line : standin::log::lines())
            if (line.rfind("[ANR]", 0) == 0)
                outcome.push_back(line);
        for (const QString &entry : tree(cacheDir()))
            outcome.push_back("left " + entry.toStdString());
        return outcome;
    }
};

const QByteArray kStuckText = R"({"stuck_time": 17, "stuck_ground": "前台"})";

struct RetryCase {
    const char *name;
    std::vector<Entry> entries;
    bool uploadSucceeds;
    std::vector<std::string> outcome;
};

void PrintTo(const RetryCase &c, std::ostream *out)
{
    *out << c.name;
}

const RetryCase kRetryCases[] = {
    {"NoDumpSendsTheTextAsRead",
     {{"g1/keel_lag_info.5.1019.json", R"({"lag_time":1 , "x": [1,2]})"}},
     true,
     {R"(sent keel_lag_info g1 5 1019 {"lag_time":1 , "x": [1,2]})"}},
    {"UploadedDumpIsReferencedInTheText",
     {{"g2/keel_stuck_info.5.1019.json", kStuckText}, {"g2/b.dmp", "b"}, {"g2/A.DMP", "a"}},
     true,
     {"uploaded g2/A.DMP",
      "sent keel_stuck_info g2 5 1019 " +
          withStringMember(kStuckText.toStdString(), "stuck_stack_dump", "ref-9")}},
    {"FailedDumpUploadDropsTheReport",
     {{"g3/keel_stuck_info.5.1019.json", kStuckText}, {"g3/1.dmp", "dump"}},
     false,
     {"uploaded g3/1.dmp", "[ANR] retryFailedCache upload dmp failed"}},
    {"TextNotJsonDropsTheReportWithItsDumpUnsent",
     {{"g4/keel_stuck_info.5.1019.json", "stuck: yes"}, {"g4/1.dmp", "dump"}},
     true,
     {"[ANR] retryFailedCache dropped a report: report file not a JSON object"}},
    {"JsonThatIsNoObjectIsDropped",
     {{"g8/keel_lag_info.5.1019.json", "[{}]"}},
     true,
     {"[ANR] retryFailedCache dropped a report: report file not a JSON object"}},
    {"EmbeddedNulIsDropped",
     {{"g9/keel_lag_info.5.1019.json", QByteArray("{}\0{}", 5)}},
     true,
     {"[ANR] retryFailedCache dropped a report: report file not a JSON object"}},
    {"ReportOverOneMebibyteIsDropped",
     {{"ga/keel_lag_info.5.1019.json", "{\"a\": \"" + QByteArray(1024 * 1024, 'x') + "\"}"},
      {"ga/1.dmp", "dump"}},
     true,
     {"[ANR] retryFailedCache dropped a report: report file too large"}},
    {"OnlyADumpIsLeftAlone", {{"g5/1.dmp", "dump"}}, true, {"left g5/", "left g5/1.dmp"}},
    {"UpperCaseSuffixIsFound",
     {{"g6/keel_lag_info.5.1019.JSON", "{}"}},
     true,
     {"sent keel_lag_info g6 5 1019 {}"}},
    {"NamePiecesThatAreNotNumbersGiveZero",
     {{"g7/keel_lag_info.five.0x10.json", "{}"}},
     true,
     {"sent keel_lag_info g7 0 0 {}"}},
};

class RetryOutcome : public RetryTest,
                     public testing::WithParamInterface<std::tuple<RetryCase, Delivery>>
{
};

TEST_P(RetryOutcome, SendsOnceWithTheFirstIdentityOrLeavesTheDirectoryAlone)
{
    const auto &[c, delivery] = GetParam();
    lay(c.entries);
    standin::upload::setDefaultReply(c.uploadSucceeds
                                         ? standin::upload::body(R"({"data":"ref-9"})", delivery)
                                         : standin::upload::error(500, "down", delivery));
    retry();
    standin::upload::waitUntilIdle();

    EXPECT_EQ(outcome(), c.outcome);
}

INSTANTIATE_TEST_SUITE_P(EveryOutcome, RetryOutcome,
                         testing::Combine(testing::ValuesIn(kRetryCases),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread)),
                         ParamName());

TEST_F(RetryTest, HandlesReportDirectoriesInNameOrderIgnoringCase)
{
    for (const char *guid : {"b", "C", "A", "a2"})
        lay({{QString(guid) + "/keel_lag_info.5.1019.json", "{}"}});
    retry();
    std::vector<std::string> order;
    for (const auto &event : standin::tally::events())
        order.push_back(event.guid);
    EXPECT_EQ(order, (std::vector<std::string>{"A", "a2", "b", "C"}));
    EXPECT_EQ(tree(cacheDir()), QStringList());
}

TEST_F(RetryTest, AnUploadThatTimesOutKeepsTheReportForTheNextStart)
{
    lay({{"g/keel_stuck_info.5.1019.json", kStuckText}, {"g/1.dmp", "dump"}});
    setUploadTimeLimitForTesting(std::chrono::milliseconds(20));
    standin::upload::queueReply(standin::upload::stored(Delivery::Held));
    retry();
    setUploadTimeLimitForTesting(std::chrono::milliseconds(0));
    ASSERT_TRUE(standin::upload::waitForHeld(1, kSafetyTimeout));
    standin::upload::releaseHeld();
    EXPECT_EQ(outcome(), (std::vector<std::string>{
                             "uploaded g/1.dmp",
                             "[ANR] retryFailedCache upload dmp timed out; kept for the next start",
                             "left g/", "left g/1.dmp", "left g/keel_stuck_info.5.1019.json"}));
}

enum class CacheState { Directory, IsAFile, Missing, EmptyPath };

struct BadCacheCase {
    const char *name;
    CacheState cache;
    std::vector<Entry> entries;
    // Made unreadable with chmod 000.
    QString unreadable;
    std::vector<std::string> outcome;
};

void PrintTo(const BadCacheCase &c, std::ostream *out)
{
    *out << c.name;
}

const BadCacheCase kBadCacheCases[] = {
    {"EmptyReportFileIsDroppedUnsent",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json", ""}, {"g/1.dmp", "d"}},
     {},
     {"[ANR] retryFailedCache dropped a report: report file empty"}},
    {"NameWithFewerThanThreePiecesIsLeftAlone",
     CacheState::Directory,
     {{"g/keel_lag_info.json", "{}"}, {"g/1.dmp", "d"}},
     {},
     {"left g/", "left g/1.dmp", "left g/keel_lag_info.json"}},
    {"OnlyReportDirectoriesAreLookedAt",
     CacheState::Directory,
     {{"empty/", ""}, {"a/b/keel_lag_info.5.1019.json", "{}"}, {"1.dmp", ""}, {"x.json", "{}"}},
     {},
     {"left 1.dmp", "left a/", "left a/b/", "left a/b/keel_lag_info.5.1019.json", "left empty/",
      "left x.json"}},
    {"UnreadableReportIsLeftAlone",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json", "{}"}, {"g/1.dmp", "d"}},
     "g/keel_lag_info.5.1019.json",
     {"left g/", "left g/1.dmp", "left g/keel_lag_info.5.1019.json"}},
    {"CacheDirectoryThatIsAFile", CacheState::IsAFile, {}, {}, {}},
    {"CacheDirectoryThatIsMissing", CacheState::Missing, {}, {}, {}},
    {"EmptyCachePathLeavesTheCurrentDirectoryAlone",
     CacheState::EmptyPath,
     {{"g/keel_lag_info.5.1019.json", "{}"}},
     {},
     {"left g/", "left g/keel_lag_info.5.1019.json"}},
};

class BadCache : public RetryTest, public testing::WithParamInterface<BadCacheCase>
{
};

TEST_P(BadCache, NothingCrashesAndOnlyProcessedReportsAreDeleted)
{
    const BadCacheCase &c = GetParam();
    lay(c.entries);
    if (!c.unreadable.isEmpty()) {
        const QString path = inCache(c.unreadable);
        if (!QFile::setPermissions(path, QFileDevice::Permissions()) ||
            access(path.toLocal8Bit().constData(), R_OK) == 0)
            GTEST_SKIP() << "no read permission to take away here (root, or Windows): the report "
                            "stays readable";
    }
    switch (c.cache) {
    case CacheState::Directory: break;
    case CacheState::IsAFile:
        ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
        writeFile(cacheDir(), "not a directory");
        break;
    case CacheState::Missing: ASSERT_TRUE(QDir(cacheDir()).removeRecursively()); break;
    case CacheState::EmptyPath:
        ASSERT_TRUE(QDir::setCurrent(cacheDir()));
        KeelAnrInternals::collector()->cacheDir = QString();
        break;
    }

    retry();

    EXPECT_EQ(outcome(), c.outcome);
    if (c.cache == CacheState::IsAFile) {
        EXPECT_EQ(readFile(cacheDir()), "not a directory");
    }
    EXPECT_EQ(QFileInfo::exists(cacheDir()), c.cache != CacheState::Missing);
}

INSTANTIATE_TEST_SUITE_P(Garbage, BadCache, testing::ValuesIn(kBadCacheCases), ParamName());

} // namespace

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

enum class CacheState { Directory, IsAFile, Missing, EmptyPath };

struct RetryCase {
    const char *name;
    std::vector<Entry> entries;
    std::vector<std::string> outcome;
    bool uploadSucceeds = true;
    CacheState cache = CacheState::Directory;
    // Made unreadable with chmod 000.
    QString unreadable = {};
};

void PrintTo(const RetryCase &c, std::ostream *out)
{
    *out << c.name;
}

const char kNotAnObject[] =
    "[ANR] retryFailedCache dropped a report: report file not a JSON object";

const RetryCase kRetryCases[] = {
    {"NoDumpSendsTheTextAsRead",
     {{"g1/keel_lag_info.5.1019.json", R"({"lag_time":1 , "x": [1,2]})"}},
     {R"(sent keel_lag_info g1 5 1019 {"lag_time":1 , "x": [1,2]})"}},
    {"UploadedDumpIsReferencedInTheText",
     {{"g2/keel_stuck_info.5.1019.json", kStuckText}, {"g2/b.dmp", "b"}, {"g2/A.DMP", "a"}},
     {"uploaded g2/A.DMP",
      "sent keel_stuck_info g2 5 1019 " +
          withStringMember(kStuckText.toStdString(), "stuck_stack_dump", "ref-9")}},
    {"FailedDumpUploadDropsTheReport",
     {{"g3/keel_stuck_info.5.1019.json", kStuckText}, {"g3/1.dmp", "dump"}},
     {"uploaded g3/1.dmp", "[ANR] retryFailedCache upload dmp failed"},
     false},
    {"TextNotJsonDropsTheReportWithItsDumpUnsent",
     {{"g4/keel_stuck_info.5.1019.json", "stuck: yes"}, {"g4/1.dmp", "dump"}},
     {kNotAnObject}},
    {"JsonThatIsNoObjectIsDropped", {{"g8/keel_lag_info.5.1019.json", "[{}]"}}, {kNotAnObject}},
    {"EmbeddedNulIsDropped",
     {{"g9/keel_lag_info.5.1019.json", QByteArray("{}\0{}", 5)}},
     {kNotAnObject}},
    {"ReportOverOneMebibyteIsDropped",
     {{"ga/keel_lag_info.5.1019.json", "{\"a\": \"" + QByteArray(1024 * 1024, 'x') + "\"}"},
      {"ga/1.dmp", "dump"}},
     {"[ANR] retryFailedCache dropped a report: report file too large"}},
    {"EmptyReportFileIsDroppedUnsent",
     {{"g/keel_lag_info.5.1019.json", ""}, {"g/1.dmp", "d"}},
     {"[ANR] retryFailedCache dropped a report: report file empty"}},
    {"OnlyADumpIsLeftAlone", {{"g5/1.dmp", "dump"}}, {"left g5/", "left g5/1.dmp"}},
    {"UpperCaseSuffixIsFound",
     {{"g6/keel_lag_info.5.1019.JSON", "{}"}},
     {"sent keel_lag_info g6 5 1019 {}"}},
    {"NamePiecesThatAreNotNumbersGiveZero",
     {{"g7/keel_lag_info.five.0x10.json", "{}"}},
     {"sent keel_lag_info g7 0 0 {}"}},
    {"NameWithFewerThanThreePiecesIsLeftAlone",
     {{"g/keel_lag_info.json", "{}"}, {"g/1.dmp", "d"}},
     {"left g/", "left g/1.dmp", "left g/keel_lag_info.json"}},
    {"DirectoriesInNameOrderIgnoringCase",
     {{"b/keel_lag_info.5.1019.json", "{}"},
      {"C/keel_lag_info.5.1019.json", "{}"},
      {"A/keel_lag_info.5.1019.json", "{}"},
      {"a2/keel_lag_info.5.1019.json", "{}"}},
     {"sent keel_lag_info A 5 1019 {}", "sent keel_lag_info a2 5 1019 {}",
      "sent keel_lag_info b 5 1019 {}", "sent keel_lag_info C 5 1019 {}"}},
    {"OnlyReportDirectoriesAreLookedAt",
     {{"empty/", ""}, {"a/b/keel_lag_info.5.1019.json", "{}"}, {"1.dmp", ""}, {"x.json", "{}"}},
     {"left 1.dmp", "left a/", "left a/b/", "left a/b/keel_lag_info.5.1019.json", "left empty/",
      "left x.json"}},
    {"UnreadableReportIsLeftAlone",
     {{"g/keel_lag_info.5.1019.json", "{}"}, {"g/1.dmp", "d"}},
     {"left g/", "left g/1.dmp", "left g/keel_lag_info.5.1019.json"},
     true,
     CacheState::Directory,
     "g/keel_lag_info.5.1019.json"},
    {"CacheDirectoryThatIsAFile", {}, {}, true, CacheState::IsAFile},
    {"CacheDirectoryThatIsMissing", {}, {}, true, CacheState::Missing},
    {"EmptyCachePathLeavesTheCurrentDirectoryAlone",
     {{"g/keel_lag_info.5.1019.json", "{}"}},
     {"left g/", "left g/keel_lag_info.5.1019.json"},
     true,
     CacheState::EmptyPath},
};

class RetryOutcome : public RetryTest,
                     public testing::WithParamInterface<std::tuple<RetryCase, Delivery>>
{
};

// Nothing crashes, whatever the cache holds, and only processed reports are deleted.
TEST_P(RetryOutcome, SendsOnceWithTheFirstIdentityOrLeavesTheDirectoryAlone)
{
    const auto &[c, delivery] = GetParam();
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
    standin::upload::setDefaultReply(c.uploadSucceeds
                                         ? standin::upload::body(R"({"data":"ref-9"})", delivery)
                                         : standin::upload::error(500, "down", delivery));
    retry();
    standin::upload::waitUntilIdle();

    EXPECT_EQ(outcome(), c.outcome);
    if (c.cache == CacheState::IsAFile) {
        EXPECT_EQ(readFile(cacheDir()), "not a directory");
    }
    EXPECT_EQ(QFileInfo::exists(cacheDir()), c.cache != CacheState::Missing);
}

INSTANTIATE_TEST_SUITE_P(EveryOutcome, RetryOutcome,
                         testing::Combine(testing::ValuesIn(kRetryCases),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread)),
                         ParamName());

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

} // namespace

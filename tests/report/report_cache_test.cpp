// The cache writers: names and places of the files they make, replacement of an earlier
// report, and a retry that runs while a report is being written.
#include "report/report_cache.h"

#include "anr/anr_collector.h"
#include "anr/keel_anr_internals.h"
#include "report_fixture.h"

#include <QDir>

namespace
{

using namespace reporttest;

using ReportCache = ReportTest;

TEST_F(ReportCache, NamesTheFileAfterTheEventAndReplacesAnEarlierOne)
{
    writeCachedReport("keel_lag_info", R"({"lag_ground": "前台", "n": 1})", "guid-1", 5, 1019,
                      cacheDir());
    writeCachedReport("keel_lag_info", R"({"n": 2})", "guid-1", 5, 1019, cacheDir());

    EXPECT_EQ(tree(cacheDir()), QStringList({"guid-1/", "guid-1/keel_lag_info.5.1019.json"}))
        << "no temporary file is left behind";
    EXPECT_EQ(readFile(inCache("guid-1/keel_lag_info.5.1019.json")), R"({"n": 2})")
        << "no byte-order mark, no trailing newline";
}

TEST_F(ReportCache, WritesTheTextAsUtf8AndTheIntegersInDecimal)
{
    writeCachedReport("keel_stuck_info", "{\"g\": \"后台\"}", "guid-2", -3, 0, cacheDir());
    EXPECT_EQ(readFile(inCache("guid-2/keel_stuck_info.-3.0.json")), "{\"g\": \"后台\"}");
}

TEST_F(ReportCache, MovesTheDumpKeepingItsName)
{
    writeFile(inCache("1700000000900.dmp"), "dump");
    moveDumpToCache(inCache("1700000000900.dmp").toStdString(), "guid-3", cacheDir());
    EXPECT_EQ(tree(cacheDir()), QStringList({"guid-3/", "guid-3/1700000000900.dmp"}));
    EXPECT_EQ(readFile(inCache("guid-3/1700000000900.dmp")), "dump");
}

TEST_F(ReportCache, WithoutADumpMakesTheDirectoryOnly)
{
    moveDumpToCache("", "guid-4", cacheDir());
    moveDumpToCache(inCache("absent.dmp").toStdString(), "guid-5", cacheDir());
    EXPECT_EQ(tree(cacheDir()), QStringList({"guid-4/", "guid-5/"}));
}

TEST_F(ReportCache, EmptyCacheDirectoryMeansTheCurrentDirectory)
{
    const QString workDir = root_.filePath("cwd");
    ASSERT_TRUE(QDir().mkpath(workDir));
    ASSERT_TRUE(QDir::setCurrent(workDir));
    writeFile("1.dmp", "dump");

    moveDumpToCache("1.dmp", "guid-6", QString());
    writeCachedReport("keel_stuck_info", "{}", "guid-6", 5, 1019, QString());

    EXPECT_EQ(tree(workDir),
              QStringList({"guid-6/", "guid-6/1.dmp", "guid-6/keel_stuck_info.5.1019.json"}));
}

TEST_F(ReportCache, ARetryDuringTheWriteSeesNoReportAndTheNextRetrySendsItWhole)
{
    KeelAnrInternals::collector()->cacheDir = cacheDir();
    const std::string text = R"({"lag_time": 1700000000000, "lag_summary": ""})";
    QStringList seenWhileWriting;
    setBeforeReportCommitHookForTesting([&] {
        seenWhileWriting = tree(cacheDir());
        KeelAnrInternals::retryFailedCache();
    });
    writeCachedReport("keel_lag_info", text, "guid-7", 5, 1019, cacheDir());
    setBeforeReportCommitHookForTesting(nullptr);

    EXPECT_FALSE(seenWhileWriting.contains("guid-7/keel_lag_info.5.1019.json"));
    EXPECT_TRUE(standin::tally::events().empty()) << "nothing is sent from half a report";
    EXPECT_EQ(readFile(inCache("guid-7/keel_lag_info.5.1019.json")).toStdString(), text);

    KeelAnrInternals::retryFailedCache();
    const auto events = standin::tally::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload, text);
    EXPECT_EQ(events[0].guid, "guid-7");
    EXPECT_EQ(tree(cacheDir()), QStringList());
}

} // namespace

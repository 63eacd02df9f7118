// The cache writer: the report file's name and bytes, replacement of an earlier report, and
// a retry that runs while a report is being written.
#include "report/report_cache.h"

#include "anr/keel_anr_internals.h"
#include "support/report_fixture.h"

namespace
{

using namespace reporttest;

using ReportCache = ReportTest;

TEST_F(ReportCache, NamesTheFileAfterTheEventAndReplacesAnEarlierOne)
{
    writeCachedReport("keel_lag_info", R"({"n": 1})", "guid-1", -3, 1019, cacheDir());
    writeCachedReport("keel_lag_info", R"({"g": "后台"})", "guid-1", -3, 1019, cacheDir());

    EXPECT_EQ(tree(cacheDir()), QStringList({"guid-1/", "guid-1/keel_lag_info.-3.1019.json"}))
        << "no temporary file is left behind";
    EXPECT_EQ(readFile(inCache("guid-1/keel_lag_info.-3.1019.json")), R"({"g": "后台"})")
        << "UTF-8, no byte-order mark, no trailing newline";
}

TEST_F(ReportCache, ARetryDuringTheWriteSeesNoReportAndLeavesItWhole)
{
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
}

} // namespace

// The cache writer: the report file's name, and an earlier report replaced only once the new
// one is whole.
#include "report/report_cache.h"

#include "support/report_fixture.h"

namespace
{

using namespace reporttest;

using ReportCache = ReportTest;

TEST_F(ReportCache, ReplacesAnEarlierReportOnlyOnceTheNewOneIsWhole)
{
    const QString file = inCache("guid-1/keel_lag_info.-3.1019.json");
    writeCachedReport("keel_lag_info", R"({"n": 1})", "guid-1", -3, 1019, cacheDir());
    QByteArray seenWhileWriting;
    setBeforeReportCommitHookForTesting([&] { seenWhileWriting = readFile(file); });
    writeCachedReport("keel_lag_info", R"({"g": "后台"})", "guid-1", -3, 1019, cacheDir());
    setBeforeReportCommitHookForTesting(nullptr);

    EXPECT_EQ(seenWhileWriting, R"({"n": 1})");
    EXPECT_EQ(tree(cacheDir()), QStringList({"guid-1/", "guid-1/keel_lag_info.-3.1019.json"}));
    EXPECT_EQ(readFile(file), R"({"g": "后台"})");
}

} // namespace

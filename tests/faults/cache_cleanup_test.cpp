// What the cache keeps: dumps no report took and report directories without a report go
// once an earlier run left them; dumps beyond the quota go oldest first; a configuration
// file beyond its size limit counts as absent.
#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "config/cloud_configuration.h"
#include "fault_support.h"
#include "platform/clock.h"
#include "report/report_cache.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace
{

using namespace reporttest;
using namespace faulttest;

struct Laid {
    QString path;
    long long ageMs;
    long long bytes; // sparse: the size counts, the disk holds none of it
};

struct CleanupCase {
    const char *name;
    std::vector<Laid> entries;
    std::vector<std::string> outcome; // "sent <guid>", then "left <entry>"
};

void PrintTo(const CleanupCase &c, std::ostream *out)
{
    *out << c.name;
}

constexpr long long kMiB = 1024 * 1024;
constexpr long long kFresh = 1000;
// Older than this start, younger than what the retry takes for left behind.
constexpr long long kYoung = 5 * 60 * 1000;

std::vector<Laid> manyDumps(int count)
{
    std::vector<Laid> dumps;
    for (int i = 0; i < count; ++i)
        dumps.push_back(
            {QString("g%1/%2.dmp").arg(i, 2, 10, QChar('0')).arg(i), kYoung - i * 1000, 1});
    return dumps;
}

// The directories g00/ to g{to - 1}/, those from `from` on with their dumps.
std::vector<std::string> leftDumps(int from, int to)
{
    std::vector<std::string> left;
    for (int i = 0; i < to; ++i) {
        const QString directory = QString("g%1/").arg(i, 2, 10, QChar('0'));
        left.push_back("left " + directory.toStdString());
        if (i >= from)
            left.push_back("left " + (directory + QString("%1.dmp").arg(i)).toStdString());
    }
    return left;
}

std::vector<CleanupCase> cleanupCases()
{
    return {
        {"RootDumpsOfAnEarlierRunGoFreshOnesStay",
         {{"100.dmp", kOld, 10}, {"101.DMP", kOld, 10}, {"102.dmp", kFresh, 10}},
         {"left 102.dmp"}},
        {"ReportDirectoriesWithoutReportGoOnceLeftBehind",
         {{"old/1.dmp", kOld, 10},
          {"old/.keel_lag_info.5.1019.json.1.0.tmp", kOld, 10},
          {"fresh/2.dmp", kFresh, 10}},
         {"left fresh/", "left fresh/2.dmp"}},
        {"AtMostFiftyDumpsOldestGoFirst", manyDumps(53), leftDumps(3, 53)},
        {"AtMostAHundredMebibytesOldestGoFirst",
         {{"a/1.dmp", kYoung, 40 * kMiB},
          {"b/2.dmp", kYoung - 1000, 40 * kMiB},
          {"c/3.dmp", kYoung - 2000, 40 * kMiB}},
         {"left a/", "left b/", "left b/2.dmp", "left c/", "left c/3.dmp"}},
        {"ReportsKeepTheirDumpsWithinTheQuota",
         {{"r/keel_lag_info.5.1019.json", kOld, 0}, {"100.dmp", kFresh, 10}},
         {"sent r", "left 100.dmp"}},
    };
}

class CacheCleanup : public ReportTest, public testing::WithParamInterface<CleanupCase>
{
};

TEST_P(CacheCleanup, KeepsOnlyWhatMayStillBeUsedWithinTheQuota)
{
    for (const Laid &entry : GetParam().entries) {
        const QString path = inCache(entry.path);
        writeFile(path, entry.path.endsWith(".json") ? "{}" : "");
        if (!entry.path.endsWith(".json")) {
            ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), entry.bytes), 0);
        }
        age(path, entry.ageMs);
        age(QFileInfo(path).absolutePath(), entry.ageMs);
    }
    KeelAnr::startTime = platform::wallClockMs();

    KeelAnrInternals::retryFailedCache();

    std::vector<std::string> outcome;
    for (const auto &event : standin::tally::events())
        outcome.push_back("sent " + event.guid);
    for (const QString &entry : tree(cacheDir()))
        outcome.push_back("left " + entry.toStdString());
    EXPECT_EQ(outcome, GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Cases, CacheCleanup, testing::ValuesIn(cleanupCases()), ParamName());

using ConfigurationSize = ReportTest;

TEST_F(ConfigurationSize, AFileBeyondSixtyFourKibibytesCountsAsAbsent)
{
    for (const long long padding : {0LL, 1LL}) {
        const std::string head = "[General]\nisOpen=\"1\"\nlag_first_time=1\n;";
        const std::string text =
            head + std::string(64 * 1024 - head.size() - 1 + padding, 'x') + "\n";
        writeFile(inCache("anr_config.ini"), QByteArray::fromStdString(text));
        EXPECT_EQ(mergeInCache(cacheDir(), {}).lagFirstTime, padding == 0 ? 1 : 5000)
            << text.size() << " bytes";
    }
}

} // namespace

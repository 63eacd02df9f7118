// A disk that fills up while the cache is written: a report file exists whole or not at
// all, the configuration keeps its last complete content, and the retry never sends what a
// failed write left.
#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "config/cloud_configuration.h"
#include "fault_support.h"
#include "platform/clock.h"
#include "report/report_cache.h"

namespace
{

using namespace reporttest;
using namespace faulttest;

const std::string kText = R"({"lag_time": 1700000000000, "lag_ground": "前台", "lag_summary": ""})";

struct Room {
    const char *name;
    long long bytes;
};

void PrintTo(const Room &c, std::ostream *out)
{
    *out << c.name;
}

const long long kTextBytes = static_cast<long long>(kText.size());
const Room kRooms[] = {
    {"None", 0},
    {"OneByte", 1},
    {"Half", kTextBytes / 2},
    {"AllButOneByte", kTextBytes - 1},
    {"Exactly", kTextBytes},
};

class FullDisk : public ReportTest, public testing::WithParamInterface<Room>
{
protected:
    void TearDown() override
    {
        setCacheWriteRoomForTesting(-1);
        ReportTest::TearDown();
    }
};

TEST_P(FullDisk, AReportIsCachedWholeOrNotAtAllAndNothingPartIsSent)
{
    const bool fits = GetParam().bytes >= kTextBytes;
    setCacheWriteRoomForTesting(GetParam().bytes);
    writeCachedReport("keel_lag_info", kText, "g", 5, 1019, cacheDir());
    setCacheWriteRoomForTesting(-1);

    EXPECT_EQ(tree(cacheDir()),
              fits ? QStringList({"g/", "g/keel_lag_info.5.1019.json"}) : QStringList({"g/"}))
        << "no partial or temporary file is left";
    if (fits) {
        EXPECT_EQ(readFile(inCache("g/keel_lag_info.5.1019.json")).toStdString(), kText);
    }

    KeelAnr::startTime = platform::wallClockMs() + kOld;
    KeelAnrInternals::retryFailedCache();
    const auto events = standin::tally::events();
    ASSERT_EQ(events.size(), fits ? 1u : 0u);
    if (fits) {
        EXPECT_EQ(events[0].payload, kText);
    }
    EXPECT_EQ(tree(cacheDir()), QStringList()) << "the empty report directory is removed too";
}

TEST_P(FullDisk, TheConfigurationKeepsItsLastCompleteContent)
{
    mergeInCache(cacheDir(), {{"lag_sw", "1"}, {"lag_first_time", "1234"}});
    const QByteArray before = readFile(inCache("anr_config.ini"));
    ASSERT_FALSE(before.isEmpty());

    const long long needed =
        static_cast<long long>(cachedConfigurationText({"0", 4321, 8000, 100}).size());
    setCacheWriteRoomForTesting(GetParam().bytes * needed / kTextBytes);
    mergeInCache(cacheDir(), {{"lag_sw", "0"}, {"lag_first_time", "4321"}});
    setCacheWriteRoomForTesting(-1);

    const QByteArray after = readFile(inCache("anr_config.ini"));
    if (GetParam().bytes >= kTextBytes) {
        EXPECT_EQ(parseCachedConfiguration(after.toStdString()).lagFirstTime, 4321);
    } else {
        EXPECT_EQ(after, before);
    }
    EXPECT_EQ(tree(cacheDir()), QStringList({"anr_config.ini"}));
}

INSTANTIATE_TEST_SUITE_P(Room, FullDisk, testing::ValuesIn(kRooms), ParamName());

} // namespace

// Stuck and lag reports from build to delivery: what is sent, what stays on disk and what
// the report holds, for every outcome of the dump upload and of the event.
#include "report/reports.h"

#include "anr/keel_anr.h"
#include "keel.h"
#include "platform/clock.h"
#include "report_fixture.h"

#include <QDir>

#include <functional>

namespace
{

using namespace reporttest;
using standin::EventReply;
using standin::upload::Delivery;

struct Kind {
    const char *name;
    std::string eventName;
    std::string prefix;
    std::string startLog;
    std::string uploadFailedLog;
    long long duration;
    std::function<void(std::string, QString)> report;
};

void PrintTo(const Kind &kind, std::ostream *out)
{
    *out << kind.name;
}

const Kind kStuck{"Stuck",
                  "keel_stuck_info",
                  "stuck_",
                  "[ANR] report anr",
                  "[ANR] upload failed",
                  8,
                  [](std::string dump, QString cache) { reportStuck(dump, cache); }};
const Kind kLag{"Lag",
                "keel_lag_info",
                "lag_",
                "[ANR] report lag 6123 ms",
                "[LAG] upload failed",
                6123,
                [](std::string dump, QString cache) { reportLag(dump, 6123, cache); }};

std::string reportFileName(const Kind &kind)
{
    return kind.eventName + ".5.1019.json";
}

class ReportsTest : public ReportTest
{
protected:
    void SetUp() override
    {
        ReportTest::SetUp();
        KeelAnr::startTime = 1'700'000'000'123;
        dump_ = inCache("1700000000500.dmp");
        writeFile(dump_, "MDMP stack evidence");
    }

    void report(const Kind &kind, const std::string &dumpPath)
    {
        kind.report(dumpPath, cacheDir());
        // Refusals that arrive later write from the client's thread.
        standin::tally::waitUntilIdle();
    }

    // The one recorded event; fails the test when there is not exactly one.
    standin::RecordedEvent onlyEvent()
    {
        const auto events = standin::tally::events();
        EXPECT_EQ(events.size(), 1u);
        return events.empty() ? standin::RecordedEvent{} : events.front();
    }

    QString dump_;
};

// --- The dump was uploaded -------------------------------------------------------------

class UploadedReport : public ReportsTest,
                       public testing::WithParamInterface<std::tuple<Kind, EventReply>>
{
};

TEST_P(UploadedReport, IsSentWithItsDumpReferenceAndCachedOnlyWhenRefused)
{
    const auto &[kind, reply] = GetParam();
    standin::tally::setEventReply(reply);
    report(kind, dump_.toStdString());

    const standin::RecordedEvent event = onlyEvent();
    EXPECT_EQ(event.name, kind.eventName);
    EXPECT_EQ(event.first, 5);
    EXPECT_EQ(event.second, 1019);
    EXPECT_TRUE(event.hasDone);
    EXPECT_FALSE(event.guid.empty());

    const Json payload(event.payload);
    const std::string reference = payload.string((kind.prefix + "stack_dump").c_str());
    EXPECT_EQ(uploadedFile(reference), "MDMP stack evidence");
    EXPECT_FALSE(QFile::exists(dump_)) << "an uploaded dump is deleted";

    const bool refused = reply == EventReply::RefuseNow || reply == EventReply::RefuseLater;
    if (!refused) {
        EXPECT_EQ(tree(cacheDir()), QStringList());
        return;
    }
    const QString guid = QString::fromStdString(event.guid);
    const QString file = guid + "/" + QString::fromStdString(reportFileName(kind));
    EXPECT_EQ(tree(cacheDir()), QStringList({guid + "/", file}));
    EXPECT_EQ(readFile(inCache(file)).toStdString(), event.payload);
}

INSTANTIATE_TEST_SUITE_P(
    AcceptedOrRefusedNowOrLater, UploadedReport,
    testing::Combine(testing::Values(kStuck, kLag),
                     testing::Values(EventReply::AcceptNow, EventReply::AcceptLater,
                                     EventReply::RefuseNow, EventReply::RefuseLater)),
    [](const testing::TestParamInfo<std::tuple<Kind, EventReply>> &info) {
        return std::string(std::get<0>(info.param).name) + "_" + nameOf(std::get<1>(info.param));
    });

// --- The dump upload failed ------------------------------------------------------------

class FailedUpload : public ReportsTest,
                     public testing::WithParamInterface<std::tuple<Kind, Delivery>>
{
};

TEST_P(FailedUpload, CachesTheReportWithItsDumpUnderTheGuidAndSendsNothing)
{
    const auto &[kind, delivery] = GetParam();
    standin::upload::setDefaultReply(standin::upload::error(503, "unavailable", delivery));
    report(kind, dump_.toStdString());

    EXPECT_TRUE(standin::tally::events().empty());
    EXPECT_TRUE(standin::log::contains(kind.uploadFailedLog));
    const QStringList directories = subdirectories(cacheDir());
    ASSERT_EQ(directories.size(), 1);
    const QString guid = directories.front();
    const QString file = guid + "/" + QString::fromStdString(reportFileName(kind));
    EXPECT_EQ(tree(cacheDir()), QStringList({guid + "/", guid + "/1700000000500.dmp", file}));
    EXPECT_EQ(readFile(inCache(guid + "/1700000000500.dmp")), "MDMP stack evidence");

    const Json cached(readFile(inCache(file)).toStdString());
    ASSERT_TRUE(cached.isObject());
    EXPECT_EQ(cached.get((kind.prefix + "stack_dump").c_str()), nullptr);
    EXPECT_EQ(cached.string((kind.prefix + "summary").c_str()), "");
}

INSTANTIATE_TEST_SUITE_P(InlineOrLater, FailedUpload,
                         testing::Combine(testing::Values(kStuck, kLag),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread)),
                         [](const testing::TestParamInfo<std::tuple<Kind, Delivery>> &info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    nameOf(std::get<1>(info.param));
                         });

class WithoutDump : public ReportsTest, public testing::WithParamInterface<Kind>
{
};

TEST_P(WithoutDump, IsCachedWithoutOneAfterTheEmptyPathFailsToUpload)
{
    const Kind &kind = GetParam();
    report(kind, "");

    ASSERT_EQ(standin::upload::uploads().size(), 1u);
    EXPECT_EQ(standin::upload::uploads()[0].path, "");
    EXPECT_TRUE(standin::tally::events().empty());
    const QStringList directories = subdirectories(cacheDir());
    ASSERT_EQ(directories.size(), 1);
    const QString guid = directories.front();
    EXPECT_EQ(tree(cacheDir()), sorted({"1700000000500.dmp", guid + "/",
                                        guid + "/" + QString::fromStdString(reportFileName(kind))}))
        << "a dump at the root that the report did not name stays where it is";
}

INSTANTIATE_TEST_SUITE_P(BothKinds, WithoutDump, testing::Values(kStuck, kLag),
                         [](const testing::TestParamInfo<Kind> &info) {
                             return std::string(info.param.name);
                         });

// --- What a report holds ---------------------------------------------------------------

class ReportContent : public ReportsTest, public testing::WithParamInterface<Kind>
{
};

TEST_P(ReportContent, HoldsTheEpisodeFieldsThenTheCommonBlockThenTheDumpReference)
{
    const Kind &kind = GetParam();
    const long long before = platform::wallClockMs();
    report(kind, dump_.toStdString());
    const long long after = platform::wallClockMs();

    EXPECT_EQ(standin::log::lines().front(), kind.startLog);
    const Json payload(onlyEvent().payload);
    std::vector<std::string> expectedKeys;
    for (const char *field : {"ground", "memory", "appstart_time", "time", "duration", "summary"})
        expectedKeys.push_back(kind.prefix + field);
    for (const char *field :
         {"keel_version", "cpu_type", "os_version", "os_build", "project_code", "project_build",
          "project_version", "protocol_version", "process_name", "pid", "is_main_process"})
        expectedKeys.push_back(field);
    expectedKeys.push_back(kind.prefix + "stack_dump");
    EXPECT_EQ(payload.keys(), expectedKeys);

    const auto integer = [&](const std::string &key) {
        const json_t *value = payload.get(key.c_str());
        EXPECT_TRUE(json_is_integer(value)) << key;
        return json_integer_value(value);
    };
    EXPECT_EQ(integer(kind.prefix + "duration"), kind.duration);
    EXPECT_EQ(integer(kind.prefix + "appstart_time"), 1'700'000'000'123);
    EXPECT_GE(integer(kind.prefix + "time"), before);
    EXPECT_LE(integer(kind.prefix + "time"), after);
    EXPECT_TRUE(json_is_string(payload.get((kind.prefix + "summary").c_str())));
    EXPECT_EQ(payload.string((kind.prefix + "summary").c_str()), "");

    const json_t *memory = payload.get((kind.prefix + "memory").c_str());
    ASSERT_TRUE(json_is_object(memory));
    EXPECT_EQ(json_object_size(memory), 3u);
    EXPECT_TRUE(json_is_string(json_object_get(memory, "memory_total")));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, ReportContent, testing::Values(kStuck, kLag),
                         [](const testing::TestParamInfo<Kind> &info) {
                             return std::string(info.param.name);
                         });

class GroundField : public ReportsTest, public testing::WithParamInterface<std::tuple<Kind, bool>>
{
};

TEST_P(GroundField, SaysBackgroundOrForegroundInRawUtf8)
{
    const auto &[kind, background] = GetParam();
    Keel::instance()->isBackground = background;
    report(kind, dump_.toStdString());

    const std::string expected = background ? "后台" : "前台";
    const std::string payload = onlyEvent().payload;
    EXPECT_EQ(Json(payload).string((kind.prefix + "ground").c_str()), expected);
    EXPECT_NE(payload.find("\"" + kind.prefix + "ground\": \"" + expected + "\""),
              std::string::npos)
        << "serialised with flags 0: raw UTF-8, \": \" separator";
}

INSTANTIATE_TEST_SUITE_P(BackgroundAndForeground, GroundField,
                         testing::Combine(testing::Values(kStuck, kLag), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<Kind, bool>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Background" : "_Foreground");
                         });

TEST(StackDumpKey, NamesTheKeyOfTheTwoReportEventsOnly)
{
    EXPECT_EQ(stackDumpKey("keel_stuck_info"), "stuck_stack_dump");
    EXPECT_EQ(stackDumpKey("keel_lag_info"), "lag_stack_dump");
    for (const char *other : {"", "KEEL_STUCK_INFO", "keel_lag_info ", "keel_orlaanr_init"})
        EXPECT_EQ(stackDumpKey(other), "") << other;
}

} // namespace

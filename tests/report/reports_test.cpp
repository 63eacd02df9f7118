// Stuck and lag reports from build to delivery: what is sent, what stays on disk and what
// the report holds, for every outcome of the dump upload and of the event.
#include "report/reports.h"

#include "keel.h"
#include "platform/clock.h"
#include "support/report_fixture.h"

#include <QFile>

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

constexpr long long kStartTime = 1'700'000'000'123;

const Kind kStuck{"Stuck",
                  "keel_stuck_info",
                  "stuck_",
                  "[ANR] report anr",
                  "[ANR] upload failed",
                  8,
                  [](std::string dump, QString cache) { reportStuck(dump, cache, kStartTime); }};
const Kind kLag{"Lag",
                "keel_lag_info",
                "lag_",
                "[ANR] report lag 6123 ms",
                "[LAG] upload failed",
                6123,
                [](std::string dump, QString cache) { reportLag(dump, 6123, cache, kStartTime); }};

class ReportsTest : public ReportTest
{
protected:
    void SetUp() override
    {
        ReportTest::SetUp();
        dump_ = inCache("1700000000500.dmp");
        writeFile(dump_, "MDMP stack evidence");
    }

    void report(const Kind &kind, const std::string &dumpPath)
    {
        kind.report(dumpPath, cacheDir());
        // Refusals that arrive later write from the client's thread.
        standin::tally::waitUntilIdle();
    }

    standin::RecordedEvent onlyEvent()
    {
        const auto events = standin::tally::events();
        EXPECT_EQ(events.size(), 1u);
        return events.empty() ? standin::RecordedEvent{} : events.front();
    }

    // The one report directory, holding the report file and (when `withDump`) the dump.
    void expectCachedWithoutSending(const Kind &kind, bool withDump)
    {
        EXPECT_TRUE(standin::tally::events().empty());
        const QStringList directories = subdirectories(cacheDir());
        ASSERT_EQ(directories.size(), 1);
        const QString guid = directories.front();
        QStringList expected = {guid + "/", guid + "/" + QString::fromStdString(kind.eventName) +
                                                ".5.1019.json"};
        expected << (withDump ? guid + "/1700000000500.dmp" : "1700000000500.dmp");
        expected.sort();
        EXPECT_EQ(tree(cacheDir()), expected);
        const Json cached(readFile(inCache(expected.filter(".json").front())).toStdString());
        ASSERT_TRUE(cached.isObject());
        EXPECT_EQ(cached.get(kind.prefix + "stack_dump"), nullptr);
        EXPECT_EQ(cached.string(kind.prefix + "summary"), "");
    }

    QString dump_;
};

// Each kind, for every reply of the client, from the foreground and from the background.
class UploadedReport : public ReportsTest,
                       public testing::WithParamInterface<std::tuple<Kind, EventReply, bool>>
{
};

TEST_P(UploadedReport, IsSentWithTheEpisodeFieldsTheCommonBlockAndTheDumpReference)
{
    const auto &[kind, reply, background] = GetParam();
    standin::tally::setEventReply(reply);
    Keel::instance()->isBackground = background;
    const long long before = platform::wallClockMs();
    report(kind, dump_.toStdString());
    const long long after = platform::wallClockMs();

    EXPECT_EQ(standin::log::lines().front(), kind.startLog);
    const standin::RecordedEvent event = onlyEvent();
    EXPECT_EQ(event.name, kind.eventName);
    EXPECT_EQ(event.first, 5);
    EXPECT_EQ(event.second, 1019);
    EXPECT_TRUE(event.hasDone);
    EXPECT_FALSE(event.guid.empty());
    const Json payload(event.payload);
    const std::string reference = payload.string(kind.prefix + "stack_dump");
    EXPECT_EQ(uploadedFile(reference), "MDMP stack evidence");
    EXPECT_FALSE(QFile::exists(dump_)) << "an uploaded dump is deleted";

    std::vector<std::string> expectedKeys;
    for (const char *field : {"ground", "memory", "appstart_time", "time", "duration", "summary"})
        expectedKeys.push_back(kind.prefix + field);
    expectedKeys.insert(expectedKeys.end(), kCommonKeys.begin(), kCommonKeys.end());
    expectedKeys.push_back(kind.prefix + "stack_dump");
    EXPECT_EQ(payload.keys(), expectedKeys);
    const auto integer = [&](const std::string &key) {
        EXPECT_TRUE(json_is_integer(payload.get(key))) << key;
        return json_integer_value(payload.get(key));
    };
    EXPECT_EQ(integer(kind.prefix + "duration"), kind.duration);
    EXPECT_EQ(integer(kind.prefix + "appstart_time"), kStartTime);
    EXPECT_GE(integer(kind.prefix + "time"), before);
    EXPECT_LE(integer(kind.prefix + "time"), after);
    EXPECT_TRUE(json_is_string(payload.get(kind.prefix + "summary")));
    EXPECT_EQ(payload.string(kind.prefix + "summary"), "");
    const json_t *memory = payload.get(kind.prefix + "memory");
    ASSERT_TRUE(json_is_object(memory));
    EXPECT_EQ(json_object_size(memory), 3u);
    EXPECT_TRUE(json_is_string(json_object_get(memory, "memory_total")));
    // Serialised with flags 0: raw UTF-8 and the ": " separator.
    const std::string ground = background ? "后台" : "前台";
    EXPECT_NE(event.payload.find("\"" + kind.prefix + "ground\": \"" + ground + "\""),
              std::string::npos)
        << event.payload;

    if (reply == EventReply::AcceptNow || reply == EventReply::AcceptLater) {
        EXPECT_EQ(tree(cacheDir()), QStringList());
        return;
    }
    const QString file = QString::fromStdString(event.guid + "/" + kind.eventName + ".5.1019.json");
    EXPECT_EQ(tree(cacheDir()), QStringList({QString::fromStdString(event.guid) + "/", file}));
    EXPECT_EQ(readFile(inCache(file)).toStdString(), event.payload);
}

INSTANTIATE_TEST_SUITE_P(
    AcceptedOrRefusedNowOrLater, UploadedReport,
    testing::Combine(testing::Values(kStuck, kLag),
                     testing::Values(EventReply::AcceptNow, EventReply::AcceptLater,
                                     EventReply::RefuseNow, EventReply::RefuseLater),
                     testing::Bool()),
    ParamName());

class FailedUpload : public ReportsTest,
                     public testing::WithParamInterface<std::tuple<Kind, Delivery>>
{
};

TEST_P(FailedUpload, CachesTheReportWithItsDumpUnderTheGuidAndSendsNothing)
{
    const auto &[kind, delivery] = GetParam();
    standin::upload::setDefaultReply(standin::upload::error(503, "unavailable", delivery));
    report(kind, dump_.toStdString());

    EXPECT_TRUE(standin::log::contains(kind.uploadFailedLog));
    expectCachedWithoutSending(kind, true);
    const QString guid = subdirectories(cacheDir()).value(0);
    EXPECT_EQ(readFile(inCache(guid + "/1700000000500.dmp")), "MDMP stack evidence");
}

INSTANTIATE_TEST_SUITE_P(InlineOrLater, FailedUpload,
                         testing::Combine(testing::Values(kStuck, kLag),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread)),
                         ParamName());

TEST_F(ReportsTest, WithoutADumpIsCachedAndLeavesOtherDumpsAlone)
{
    report(kStuck, "");
    expectCachedWithoutSending(kStuck, false);
}

} // namespace

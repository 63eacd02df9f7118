// Stuck and lag reports from build to delivery: what is sent, what stays on disk and what
// the report holds, for every outcome of the dump upload and of the event; the common block
// every report carries; and the cache writer replacing an earlier report only once the new one
// is whole.
#include "report/common_fields.h"
#include "report/reports.h"

#include "keel.h"
#include "platform/clock.h"
#include "platform/system_info.h"
#include "support/report_fixture.h"
#include "sysinfo/system_probes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace
{

using namespace reporttest;
using standin::EventReply;
using standin::upload::Delivery;

constexpr long long kStartTime = 1'700'000'000'123;

struct Kind {
    const char *name;
    std::string eventName, prefix, startLog, uploadFailedLog;
    long long duration;
};

void PrintTo(const Kind &kind, std::ostream *out)
{
    *out << kind.name;
}

const Kind kStuck{"Stuck", "keel_stuck_info", "stuck_", "[ANR] report anr", "[ANR] upload failed",
                  8};
const Kind kLag{"Lag", "keel_lag_info", "lag_", "[ANR] report lag 6123 ms", "[LAG] upload failed",
                6123};

struct Scenario {
    const char *name;
    EventReply reply;
    bool background;
    bool uploadFails = false; // then nothing is sent and the report is cached
    Delivery delivery = Delivery::Inline;
    bool withDump = true;
    bool cacheUnusable = false; // a file where the cache belongs
};

void PrintTo(const Scenario &s, std::ostream *out)
{
    *out << s.name;
}

const Scenario kScenarios[] = {
    {"AcceptedNow", EventReply::AcceptNow, false},
    {"AcceptedLaterInTheBackground", EventReply::AcceptLater, true},
    {"RefusedNowInTheBackground", EventReply::RefuseNow, true},
    {"RefusedLater", EventReply::RefuseLater, false},
    {"UploadFailsInline", EventReply::AcceptNow, false, true},
    {"UploadFailsLaterInTheBackground", EventReply::AcceptNow, true, true,
     Delivery::FromLibraryThread},
    // Without a dump the report is sent at once, its key empty; refused, it is cached alone.
    {"WithoutADump", EventReply::AcceptNow, false, false, Delivery::Inline, false},
    {"WithoutADumpRefused", EventReply::RefuseNow, false, false, Delivery::Inline, false},
    // Nothing can be kept: the dump is not taken and the report is sent directly.
    {"UnusableCacheRefused", EventReply::RefuseNow, false, false, Delivery::Inline, true, true},
};

class Report : public ReportTest, public testing::WithParamInterface<std::tuple<Kind, Scenario>>
{
};

TEST_P(Report, IsSentOrCachedWithTheEpisodeFieldsTheCommonBlockAndTheDumpReference)
{
    const auto &[kind, s] = GetParam();
    const QString dump = inCache("1700000000500.dmp");
    writeFile(dump, "MDMP stack evidence");
    standin::tally::setEventReply(s.reply);
    standin::tally::scriptGuids({"../../escape"}); // replaced for the event and directory alike
    Keel::instance()->isBackground = s.background;
    if (s.uploadFails)
        standin::upload::setDefaultReply(standin::upload::error(503, "unavailable", s.delivery));
    const long long before = platform::wallClockMs();
    const std::string dumpPath = s.withDump ? dump.toStdString() : "";
    const QString inTheWay = root_.filePath("in-the-way");
    writeFile(inTheWay, "a file");
    const std::shared_ptr<cache::Cache> cache =
        s.cacheUnusable ? cache::Cache::open(nativePathOf(inTheWay + "/keel-anr-cache")) : cache_;
    standin::log::clear(); // the unusable cache's own line: lifecycle_test
    if (kind.duration == 8)
        reportStuck(cache, dumpPath, kStartTime);
    else
        reportLag(cache, dumpPath, kind.duration, kStartTime);
    standin::tally::waitUntilIdle(); // refusals that arrive later write from the client's thread
    const long long after = platform::wallClockMs();

    EXPECT_EQ(standin::log::lines().front(), kind.startLog);
    EXPECT_EQ(standin::log::contains(kind.uploadFailedLog), s.uploadFails);
    const auto events = standin::tally::events();
    ASSERT_EQ(events.size(), s.uploadFails ? 0u : 1u);
    const bool cached = !s.cacheUnusable && (s.uploadFails || s.reply == EventReply::RefuseNow ||
                                             s.reply == EventReply::RefuseLater);
    const bool uploaded = s.withDump && !s.cacheUnusable && !s.uploadFails;
    const QStringList directories = QDir(cacheDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(directories.size(), cached ? 1 : 0);
    const QString directory = directories.value(0);
    const QString file = directory + "/" + QString::fromStdString(kind.eventName) + ".5.1019.json";
    QStringList expectedTree;
    if (cached)
        expectedTree << directory + "/" << file;
    if (!uploaded)
        expectedTree << (s.uploadFails ? directory + "/" : "") + "1700000000500.dmp";
    expectedTree.sort();
    EXPECT_EQ(tree(cacheDir()), expectedTree);
    if (s.uploadFails && s.withDump) {
        EXPECT_EQ(readFile(inCache(directory + "/1700000000500.dmp")), "MDMP stack evidence");
    }

    const std::string text =
        s.uploadFails ? readFile(inCache(file)).toStdString() : events[0].payload;
    const Json payload(text);
    std::vector<std::string> expectedKeys;
    for (const char *field : {"ground", "memory", "appstart_time", "time", "duration", "summary"})
        expectedKeys.push_back(kind.prefix + field);
    expectedKeys.insert(expectedKeys.end(), kCommonKeys.begin(), kCommonKeys.end());
    if (!s.uploadFails) {
        expectedKeys.push_back(kind.prefix + "stack_dump");
        EXPECT_EQ(events[0].name, kind.eventName);
        EXPECT_EQ(events[0].first, 5);
        EXPECT_EQ(events[0].second, 1019);
        EXPECT_TRUE(events[0].hasDone);
        EXPECT_NE(events[0].guid, "../../escape");
        if (uploaded) {
            EXPECT_EQ(uploadedFile(payload.string(kind.prefix + "stack_dump")),
                      "MDMP stack evidence");
        } else {
            EXPECT_TRUE(json_is_string(payload.get(kind.prefix + "stack_dump")));
            EXPECT_EQ(payload.string(kind.prefix + "stack_dump"), "");
            EXPECT_TRUE(standin::upload::uploads().empty());
        }
        if (cached) {
            EXPECT_EQ(directory.toStdString(), events[0].guid);
            EXPECT_EQ(readFile(inCache(file)).toStdString(), text);
        }
    }
    EXPECT_EQ(payload.keys(), expectedKeys);
    const auto integer = [&](const std::string &key) {
        EXPECT_TRUE(json_is_integer(payload.get(key))) << key;
        return json_integer_value(payload.get(key));
    };
    EXPECT_EQ(integer(kind.prefix + "duration"), kind.duration);
    EXPECT_EQ(integer(kind.prefix + "appstart_time"), kStartTime);
    EXPECT_GE(integer(kind.prefix + "time"), before);
    EXPECT_LE(integer(kind.prefix + "time"), after);
    EXPECT_STREQ(json_string_value(payload.get(kind.prefix + "summary")), "");
    EXPECT_TRUE(json_is_object(payload.get(kind.prefix + "memory"))); // its members: sysinfo
    // Serialised with flags 0: raw UTF-8 and the ": " separator.
    const std::string ground = s.background ? "后台" : "前台";
    EXPECT_NE(text.find("\"" + kind.prefix + "ground\": \"" + ground + "\""), std::string::npos)
        << text;
}

INSTANTIATE_TEST_SUITE_P(EveryOutcome, Report,
                         testing::Combine(testing::Values(kStuck, kLag),
                                          testing::ValuesIn(kScenarios)),
                         ParamName());

TEST(CommonReportFields, AddsElevenMembersInOrderWithTheirTypesAndValues)
{
    // Only this test of the executable writes the file; an earlier one is put back.
    QString executable = QFile::symLinkTarget("/proc/self/exe");
    if (executable.isEmpty()) // Windows has no /proc: take the path the system reports
        executable = QString::fromStdWString(platform::executablePath());
    const QString ini = QFileInfo(executable).absolutePath() + "/fernlea.ini";
    const bool hadIni = QFile::rename(ini, ini + ".saved-by-common-fields-test");
    writeFile(ini, "[build_info]\norla_ci_build_number=8812\n");

    const struct {
        bool mainProcess;
        std::string processName, projectVersion, expectedName, expectedVersion;
    } cases[] = {
        {true, "host-app", "3.2.1", "host-app", "3.2.1"},
        {false, "bad\xff name", "\xc3", "bad\xEF\xBF\xBD name", "\xEF\xBF\xBD"}, // not UTF-8
    };
    for (const auto &c : cases) {
        Keel::instance()->isMainProcess = c.mainProcess;
        Keel::instance()->processName = c.processName;
        Tally::instance()->projectVersion = c.projectVersion;
        json_t *report = json_object();
        fillCommonReportFields(report);
        const Json block(report);

        EXPECT_EQ(block.keys(), kCommonKeys);
        // string() reads "" for a member that is not a string: only os_build needs this.
        EXPECT_TRUE(json_is_string(block.get("os_build")));
        EXPECT_EQ(block.string("keel_version"), "1.5.0");
        EXPECT_EQ(block.string("cpu_type"), getCpuType());
        EXPECT_EQ(block.string("os_version"), getOsVersion());
        EXPECT_EQ(block.string("os_build"), "");
        EXPECT_EQ(block.string("project_code"), QFileInfo(executable).fileName().toStdString());
        EXPECT_EQ(block.string("project_build"), "8812");
        EXPECT_EQ(block.string("project_version"), c.expectedVersion);
        EXPECT_EQ(block.string("process_name"), c.expectedName);
        EXPECT_EQ(block.string("pid"), std::to_string(getpid()));
        ASSERT_TRUE(json_is_integer(block.get("protocol_version")));
        EXPECT_EQ(json_integer_value(block.get("protocol_version")), 1);
        // A number, never a JSON boolean.
        ASSERT_TRUE(json_is_integer(block.get("is_main_process")));
        EXPECT_EQ(json_integer_value(block.get("is_main_process")), c.mainProcess ? 1 : 0);
    }
    QFile::remove(ini);
    if (hadIni)
        QFile::rename(ini + ".saved-by-common-fields-test", ini);
}

} // namespace

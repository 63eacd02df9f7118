#include "report/reports.h"

#include "keel.h"
#include "log/log.h"
#include "platform/clock.h"
#include "report/common_fields.h"
#include "report/json_text.h"
#include "report/report_cache.h"
#include "report/upload.h"
#include "sysinfo/memory_info.h"

#include <QFile>

#include <functional>

namespace
{

// The two integers of every report event; the client gives them their meaning.
constexpr int kReportEventFirst = 5;
constexpr int kReportEventSecond = 1019;

// The stuck and lag reports differ only in these names.
struct ReportKind {
    const char *eventName;
    const char *keyPrefix;
    const char *uploadFailedMessage;
};

constexpr ReportKind kStuckReport{"keel_stuck_info", "stuck_", "[ANR] upload failed"};
constexpr ReportKind kLagReport{"keel_lag_info", "lag_", "[LAG] upload failed"};

// The stuck report's duration field is a fixed 8, whatever the stuck threshold.
constexpr long long kStuckReportDuration = 8;

// Called by the client with the event's outcome, on any thread and possibly after the
// builder has returned, so it owns copies of everything it uses.
std::function<void(bool)> cacheWhenRefused(std::string eventName, std::string reportText,
                                           std::string guid, QString cacheDir)
{
    return [eventName = std::move(eventName), reportText = std::move(reportText),
            guid = std::move(guid), cacheDir = std::move(cacheDir)](bool accepted) {
        if (!accepted)
            writeCachedReport(eventName, reportText, guid, kReportEventFirst, kReportEventSecond,
                              cacheDir);
    };
}

void buildAndSendReport(const ReportKind &kind, const std::string &dumpPath, long long duration,
                        const QString &cacheDir, long long appStartTime)
{
    const std::string prefix = kind.keyPrefix;
    json_t *report = json_object();
    // A GUID that is not a plain file name would put the cache directory elsewhere.
    const std::string guid = safeReportGuid(Tally::generateGUID());

    setJsonString(report, prefix + "ground", Keel::instance()->isBackground ? "后台" : "前台");
    json_object_set_new(report, (prefix + "memory").c_str(), getMemoryInfo());
    json_object_set_new(report, (prefix + "appstart_time").c_str(), json_integer(appStartTime));
    json_object_set_new(report, (prefix + "time").c_str(), json_integer(platform::wallClockMs()));
    json_object_set_new(report, (prefix + "duration").c_str(), json_integer(duration));
    setJsonString(report, prefix + "summary", "");
    fillCommonReportFields(report);

    const std::string reference = uploadFile(dumpPath);
    if (!reference.empty()) {
        // Result not examined: a dump that cannot be deleted stays at the cache's root.
        QFile::remove(QString::fromStdString(dumpPath));
        setJsonString(report, stackDumpKey(kind.eventName), reference);
        const std::string reportText = jsonText(report);
        json_decref(report);
        Tally::instance()->event(kind.eventName, reportText, guid, kReportEventFirst,
                                 kReportEventSecond,
                                 cacheWhenRefused(kind.eventName, reportText, guid, cacheDir));
        return;
    }

    logMessage("%s", kind.uploadFailedMessage);
    // The report first: a crash between the two leaves a report without its dump (sent
    // without it) and a dump at the root (deleted at the next start), never a lone dump.
    writeCachedReport(kind.eventName, jsonText(report), guid, kReportEventFirst, kReportEventSecond,
                      cacheDir);
    moveDumpToCache(dumpPath, guid, cacheDir);
    json_decref(report);
}

} // namespace

void reportStuck(std::string dumpPath, QString cacheDir, long long appStartTime)
{
    logMessage("[ANR] report anr");
    buildAndSendReport(kStuckReport, dumpPath, kStuckReportDuration, cacheDir, appStartTime);
}

void reportLag(std::string dumpPath, long long durationMs, QString cacheDir, long long appStartTime)
{
    logMessage("[ANR] report lag %lld ms", durationMs);
    buildAndSendReport(kLagReport, dumpPath, durationMs, cacheDir, appStartTime);
}

std::string stackDumpKey(const std::string &eventName)
{
    if (eventName == kStuckReport.eventName)
        return "stuck_stack_dump";
    if (eventName == kLagReport.eventName)
        return "lag_stack_dump";
    return {};
}

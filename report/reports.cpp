#include "report/reports.h"

#include "cache/cache.h"
#include "cache/report_guid.h"
#include "keel.h"
#include "log/log.h"
#include "platform/clock.h"
#include "report/common_fields.h"
#include "report/json_text.h"
#include "report/upload.h"
#include "sysinfo/memory_info.h"

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
std::function<void(bool)> cacheWhenRefused(std::shared_ptr<cache::Cache> cache,
                                           std::string eventName, std::string reportText,
                                           std::string guid)
{
    return [cache = std::move(cache), eventName = std::move(eventName),
            reportText = std::move(reportText), guid = std::move(guid)](bool accepted) {
        // Result not examined: a refused report that cannot be cached is lost.
        if (!accepted)
            cache->writeReport(guid, eventName, kReportEventFirst, kReportEventSecond, reportText);
    };
}

void sendReport(const std::shared_ptr<cache::Cache> &cache, const ReportKind &kind, json_t *report,
                const std::string &guid)
{
    const std::string reportText = jsonText(report);
    Tally::instance()->event(kind.eventName, reportText, guid, kReportEventFirst,
                             kReportEventSecond,
                             cacheWhenRefused(cache, kind.eventName, reportText, guid));
}

void buildAndSendReport(const std::shared_ptr<cache::Cache> &cache, const ReportKind &kind,
                        const std::string &dumpPath, long long duration, long long appStartTime)
{
    const std::string prefix = kind.keyPrefix;
    json_t *report = json_object();
    // A GUID that is not a plain GUID would put the cache directory elsewhere.
    const std::string guid = cache::safeReportGuid(Tally::generateGUID());

    setJsonString(report, prefix + "ground", Keel::instance()->isBackground ? "后台" : "前台");
    json_object_set_new(report, (prefix + "memory").c_str(), getMemoryInfo());
    json_object_set_new(report, (prefix + "appstart_time").c_str(), json_integer(appStartTime));
    json_object_set_new(report, (prefix + "time").c_str(), json_integer(platform::wallClockMs()));
    json_object_set_new(report, (prefix + "duration").c_str(), json_integer(duration));
    setJsonString(report, prefix + "summary", "");
    fillCommonReportFields(report);

    const std::string uploadPath = cache->dumpUploadPath(dumpPath);
    const std::string reference = uploadPath.empty() ? std::string() : uploadFile(uploadPath);
    if (uploadPath.empty() || !reference.empty()) {
        // Sent at once: with the dump's reference, or with the key empty when the episode has
        // no dump (waiting would not bring one).
        if (!reference.empty())
            cache->deleteDump(dumpPath); // result not examined: a later start deletes it
        setJsonString(report, stackDumpKey(kind.eventName), reference);
        sendReport(cache, kind, report, guid);
        json_decref(report);
        return;
    }

    logMessage("%s", kind.uploadFailedMessage);
    // The report first: a crash between the two leaves a report without its dump (sent
    // without it) and a dump at the root (deleted at the next start), never a lone dump.
    // Results not examined: what cannot be cached is lost.
    cache->writeReport(guid, kind.eventName, kReportEventFirst, kReportEventSecond,
                       jsonText(report));
    cache->moveDumpToReport(dumpPath, guid);
    json_decref(report);
}

} // namespace

void reportStuck(std::shared_ptr<cache::Cache> cache, std::string dumpPath, long long appStartTime)
{
    logMessage("[ANR] report anr");
    buildAndSendReport(cache, kStuckReport, dumpPath, kStuckReportDuration, appStartTime);
}

void reportLag(std::shared_ptr<cache::Cache> cache, std::string dumpPath, long long durationMs,
               long long appStartTime)
{
    logMessage("[ANR] report lag %lld ms", durationMs);
    buildAndSendReport(cache, kLagReport, dumpPath, durationMs, appStartTime);
}

std::string stackDumpKey(const std::string &eventName)
{
    if (eventName == kStuckReport.eventName)
        return "stuck_stack_dump";
    if (eventName == kLagReport.eventName)
        return "lag_stack_dump";
    return {};
}

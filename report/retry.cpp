// Retry of cached reports: at each start, every report directory in the cache is sent with
// the GUID and event identity it was first given, then deleted. Delivery is at least once:
// a crash between the send and the deletion of the report file sends it again at the next
// start, with the same GUID. Only one process retries a cache at a time (the cache's
// retrier lock); another skips its retry. Before the reports, what earlier runs left (dumps
// no report took, temporary files, report directories without a report) is deleted once it
// is older than ten minutes, and the cache's quota is applied. What lies on disk and how it
// is reached is the cache layer's.
#include "report/retry.h"

#include "cache/cache.h"
#include "keel.h"
#include "log/log.h"
#include "report/json_text.h"
#include "report/reports.h"
#include "report/upload.h"

#include <QStringList>

#include <functional>

namespace
{

using cache::cacheStepDone;

// "{event}.{first}.{second}.json" gives the event name and its two integers.
constexpr int kReportNamePieces = 3;

// The report text with the uploaded dump's reference under the event's stack-dump key.
void addDumpReference(std::string &reportText, const std::string &eventName,
                      const std::string &reference)
{
    json_t *report = json_loads(reportText.c_str(), 0, nullptr);
    setJsonString(report, stackDumpKey(eventName), reference);
    reportText = jsonText(report);
    json_decref(report);
}

// Ends a report's life in the cache: the report file first, so that a crash after it
// leaves a directory without report (deleted at the next start) rather than a second send.
void removeReport(cache::Cache &cache, const cache::ReportDirectory &report)
{
    // Results not examined: a report file that survives is sent again at the next start.
    report.removeReportFile();
    cache.removeReport(report.guid());
}

void dropReport(cache::Cache &cache, const std::string &guid, const std::string &why)
{
    logMessage("[ANR] retryFailedCache dropped a report: %s", why.c_str());
    cache.removeReport(guid);
}

void retryReport(cache::Cache &cache, const std::string &guid, long long leftBeforeMs)
{
    // Opened through the cache, never through a link that replaced the listed directory.
    const cache::ReportDirectory report = cache.openReport(guid);
    if (!report.isOpen())
        return;
    if (report.reportName().empty()) {
        // Left by a run that ended before its report was written, or after it was sent.
        if (report.modifiedMs() < leftBeforeMs && cache.removeReport(guid))
            logMessage("[ANR] retryFailedCache removed a report directory without report");
        return;
    }

    std::string bytes;
    switch (report.readReport(bytes)) {
    case platform::FileRead::Read: break;
    case platform::FileRead::TooLarge: return dropReport(cache, guid, "report file too large");
    default: return; // Unreadable or gone: left for a later start.
    }
    CachedReport cached;
    std::string why;
    if (!readCachedReport(report.reportName(), bytes, cached, why)) {
        if (why.rfind("name", 0) == 0)
            return; // No writer of this module makes such a name; left untouched.
        return dropReport(cache, guid, why);
    }

    if (!report.dumpName().empty()) {
        bool timedOut = false;
        const std::string uploadPath = report.dumpUploadPath();
        const std::string reference = uploadPath.empty() ? "" : uploadFile(uploadPath, &timedOut);
        if (timedOut) {
            logMessage("[ANR] retryFailedCache upload dmp timed out; kept for the next start");
            return;
        }
        if (reference.empty()) {
            logMessage("[ANR] retryFailedCache upload dmp failed");
            cache.removeReport(guid);
            return;
        }
        cacheStepDone("dump uploaded");
        addDumpReference(cached.text, cached.eventName, reference);
    }

    Tally::instance()->event(cached.eventName, cached.text, guid, cached.first, cached.second,
                             std::function<void(bool)>());
    cacheStepDone("report sent");
    removeReport(cache, report);
}

} // namespace

bool readCachedReport(const std::string &fileName, const std::string &bytes, CachedReport &report,
                      std::string &why)
{
    // Empty pieces are kept: "a..json" names the event "a" with the integers 0 and 0.
    const QStringList pieces = QString::fromStdString(fileName).split('.');
    if (pieces.size() < kReportNamePieces) {
        why = "name with fewer than three pieces";
        return false;
    }
    if (bytes.empty()) {
        why = "report file empty";
        return false;
    }
    // The text goes to the client as a C string: an embedded NUL would cut it short.
    json_t *document = bytes.find('\0') == std::string::npos
                           ? json_loadb(bytes.data(), bytes.size(), 0, nullptr)
                           : nullptr;
    const bool isObject = json_is_object(document);
    json_decref(document);
    if (!isObject) {
        why = "report file not a JSON object";
        return false;
    }
    report.eventName = pieces[0].toStdString();
    report.first = pieces[1].toInt(nullptr, 10);
    report.second = pieces[2].toInt(nullptr, 10);
    report.text = bytes;
    return true;
}

void retryCachedReports(cache::Cache &cache, long long startTimeMs)
{
    if (!cache.usable())
        return;
    // One retrier per cache: another process's retry would send the same reports again.
    const platform::FileLock lock = cache.lockForRetry();
    if (!lock.held()) {
        logMessage("[ANR] retryFailedCache skipped: another process retries this cache");
        return;
    }
    // What is newer may be work in progress, of this process or another.
    const long long leftBeforeMs = startTimeMs - cache::kLeftBehindAgeMs;

    const std::vector<std::string> reports = cache.listReports();
    const cache::CleanUp cleaned = cache.cleanUp(leftBeforeMs);
    if (cleaned.dumpsNoReportTook > 0)
        logMessage("[ANR] retryFailedCache deleted %d dumps no report took",
                   cleaned.dumpsNoReportTook);
    if (cleaned.dumpsOverQuota > 0)
        logMessage("[ANR] retryFailedCache deleted %d dumps over the cache quota",
                   cleaned.dumpsOverQuota);

    for (const std::string &guid : reports)
        retryReport(cache, guid, leftBeforeMs);
}

// Retry of cached reports: at each start, every report directory in the cache is sent with
// the GUID and event identity it was first given, then deleted. Delivery is at least once:
// a crash between the send and the deletion of the report file sends it again at the next
// start, with the same GUID. Before that, dumps at the cache's root that no report took
// and report directories without a report are deleted once they are older than ten
// minutes, and the cache's quota is applied. Nothing is read or deleted through a link, and only
// regular files are read or uploaded.
#include "report/retry.h"

#include "keel.h"
#include "log/log.h"
#include "platform/path_text.h"
#include "platform/regular_file.h"
#include "report/json_text.h"
#include "report/report_cache.h"
#include "report/reports.h"
#include "report/upload.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <vector>

namespace
{

using platform::DirectoryEntry;
using platform::EntryKind;

// Another process of the host may share the cache and be writing into it: only what is
// older than this at the start counts as left behind. A pending dump lives for the rest of
// its episode plus one upload, far less.
constexpr long long kLeftBehindAgeMs = 10 * 60 * 1000;

// "{event}.{first}.{second}.json" gives the event name and its two integers.
constexpr int kReportNamePieces = 3;

bool hasSuffix(const std::string &name, const char *suffix)
{
    return name.front() != '.' &&
           QString::fromStdString(name).endsWith(suffix, Qt::CaseInsensitive);
}

// Entries by name, ignoring case, as a directory listing shows them.
std::vector<DirectoryEntry> sortedEntries(const std::string &directory)
{
    std::vector<DirectoryEntry> entries = platform::listDirectory(directory);
    std::sort(entries.begin(), entries.end(), [](const DirectoryEntry &a, const DirectoryEntry &b) {
        const int order = QString::fromStdString(a.name).compare(QString::fromStdString(b.name),
                                                                 Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a.name < b.name;
    });
    return entries;
}

// The first regular, not hidden file whose name ends in `suffix`; "" when there is none.
std::string findRegularFile(const std::vector<DirectoryEntry> &entries, const char *suffix)
{
    for (const DirectoryEntry &entry : entries)
        if (entry.kind == EntryKind::Regular && hasSuffix(entry.name, suffix))
            return entry.name;
    return {};
}

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
void removeReport(const std::string &directory, const std::string &reportName)
{
    // Results not examined: a report file that survives is sent again at the next start.
    if (platform::removeEntry(directory + "/" + reportName))
        cacheStepDone("report deleted");
    if (platform::removeEntry(directory))
        cacheStepDone("report directory deleted");
}

void dropReport(const std::string &directory, const std::string &why)
{
    logMessage("[ANR] retryFailedCache dropped a report: %s", why.c_str());
    if (platform::removeEntry(directory))
        cacheStepDone("report directory deleted");
}

void retryReport(const std::string &directory, const std::string &guid, long long leftBeforeMs)
{
    const std::vector<DirectoryEntry> entries = sortedEntries(directory);
    const std::string reportName = findRegularFile(entries, ".json");
    long long modifiedMs = 0;
    if (reportName.empty()) {
        // Left by a run that ended before its report was written, or after it was sent.
        if (platform::entryKind(directory, &modifiedMs) == EntryKind::Directory &&
            modifiedMs < leftBeforeMs && platform::removeEntry(directory)) {
            logMessage("[ANR] retryFailedCache removed a report directory without report");
            cacheStepDone("report directory deleted");
        }
        return;
    }

    std::string bytes;
    switch (platform::readRegularFile(platform::pathFromBytes(directory + "/" + reportName),
                                      kMaxReportBytes, bytes, platform::Links::DoNotFollow)) {
    case platform::FileRead::Read: break;
    case platform::FileRead::TooLarge: return dropReport(directory, "report file too large");
    default: return; // Unreadable or gone: left for a later start.
    }
    CachedReport report;
    std::string why;
    if (!readCachedReport(reportName, bytes, report, why)) {
        if (why.rfind("name", 0) == 0)
            return; // No writer of this module makes such a name; left untouched.
        return dropReport(directory, why);
    }

    const std::string dumpName = findRegularFile(entries, ".dmp");
    if (!dumpName.empty()) {
        bool timedOut = false;
        const std::string reference = uploadFile(directory + "/" + dumpName, &timedOut);
        if (timedOut) {
            logMessage("[ANR] retryFailedCache upload dmp timed out; kept for the next start");
            return;
        }
        if (reference.empty()) {
            logMessage("[ANR] retryFailedCache upload dmp failed");
            if (platform::removeEntry(directory))
                cacheStepDone("report directory deleted");
            return;
        }
        cacheStepDone("dump uploaded");
        addDumpReference(report.text, report.eventName, reference);
    }

    Tally::instance()->event(report.eventName, report.text, guid, report.first, report.second,
                             std::function<void(bool)>());
    cacheStepDone("report sent");
    removeReport(directory, reportName);
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

void retryCachedReports(const QString &cacheDir, long long startTimeMs)
{
    // An empty path would mean the current directory, whose sub-directories are no reports.
    if (cacheDir.isEmpty())
        return;
    const std::string cache = QFile::encodeName(cacheDir).toStdString();
    // What is newer may be work in progress, of this process or another.
    const long long leftBeforeMs = startTimeMs - kLeftBehindAgeMs;

    const std::vector<DirectoryEntry> entries = sortedEntries(cache);
    int orphans = 0;
    for (const DirectoryEntry &entry : entries)
        if (entry.kind == EntryKind::Regular && hasSuffix(entry.name, ".dmp") &&
            entry.modifiedMs < leftBeforeMs && platform::removeEntry(cache + "/" + entry.name)) {
            ++orphans;
            cacheStepDone("dump no report took deleted");
        }
    if (orphans > 0)
        logMessage("[ANR] retryFailedCache deleted %d dumps no report took", orphans);
    if (const int overQuota = enforceCacheQuota(cacheDir); overQuota > 0)
        logMessage("[ANR] retryFailedCache deleted %d dumps over the cache quota", overQuota);

    for (const DirectoryEntry &entry : entries)
        if (entry.kind == EntryKind::Directory && isSafeReportGuid(entry.name))
            retryReport(cache + "/" + entry.name, entry.name, leftBeforeMs);
}

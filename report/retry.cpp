// Retry of cached reports: at each start, every report directory left in the cache by an
// earlier run is sent once, with the GUID and event identity it was first given, and
// deleted. A report is never retried twice: a directory whose report file could be read is
// deleted in the same run, whatever becomes of its dump upload or its event.
#include "report/retry.h"

#include "base/log.h"
#include "base/qt_compat.h"
#include "keel.h"
#include "report/json_text.h"
#include "report/reports.h"
#include "report/upload.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <functional>

namespace
{

// "{event}.{first}.{second}.json" gives the event name and its two integers.
constexpr int kReportNamePieces = 3;

// The report file's text, read as UTF-8 like its writer wrote it; false when
// the file does not open.
bool readReportText(const QString &path, std::string &text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    qtcompat::useUtf8(stream);
    text = stream.readAll().toStdString();
    file.close();
    return true;
}

// The report text with the uploaded dump's reference under the event's stack-dump key;
// false when the text is not JSON.
bool addDumpReference(std::string &reportText, const std::string &eventName,
                      const std::string &reference)
{
    json_t *report = json_loads(reportText.c_str(), 0, nullptr);
    if (!report)
        return false;
    setJsonString(report, stackDumpKey(eventName), reference);
    reportText = jsonText(report);
    json_decref(report);
    return true;
}

// Ends a report's life in the cache, whatever became of it.
void removeReportDirectory(QDir &reportDirectory)
{
    // Result not examined: a report file that survives is handled again at the next start.
    reportDirectory.removeRecursively();
}

void retryReport(QDir reportDirectory)
{
    std::string reportText;
    const QString reportPath = findFileBySuffix(reportDirectory, "json");
    if (reportPath.isEmpty() || !readReportText(reportPath, reportText))
        return; // Not a report (or not yet one): left for a later start.

    // Empty pieces are kept: "a..json" names the event "a" with the integers 0 and 0.
    const QStringList pieces = QFileInfo(reportPath).fileName().split('.');
    if (pieces.size() < kReportNamePieces)
        return; // No writer of this module makes such a name; left untouched.
    const std::string eventName = pieces[0].toStdString();

    const QString dumpPath = findFileBySuffix(reportDirectory, "dmp");
    if (!dumpPath.isEmpty()) {
        const std::string reference = uploadFile(dumpPath.toStdString());
        if (reference.empty()) {
            logMessage("[ANR] retryFailedCache upload dmp failed");
            removeReportDirectory(reportDirectory);
            return;
        }
        if (!addDumpReference(reportText, eventName, reference)) {
            logMessage("[ANR] JSON object is null");
            removeReportDirectory(reportDirectory);
            return;
        }
    }

    Tally::instance()->event(eventName, reportText, reportDirectory.dirName().toStdString(),
                             pieces[1].toInt(nullptr, 10), pieces[2].toInt(nullptr, 10),
                             std::function<void(bool)>());
    removeReportDirectory(reportDirectory);
}

} // namespace

QString findFileBySuffix(QDir directory, const QString &suffix)
{
    directory.setNameFilters({"*." + suffix});
    directory.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    const QFileInfoList matches = directory.entryInfoList();
    return matches.isEmpty() ? QString() : matches.first().absoluteFilePath();
}

void retryCachedReports(const QString &cacheDir)
{
    // An empty path would mean the current directory, whose sub-directories are no reports.
    if (cacheDir.isEmpty())
        return;

    const QDir cache(cacheDir);
    const QStringList names = cache.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        retryReport(QDir(cache.absoluteFilePath(name)));
}

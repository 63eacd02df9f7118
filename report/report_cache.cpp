#include "report/report_cache.h"

#include "base/qt_compat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

namespace
{

std::function<void()> &beforeCommitHook()
{
    static std::function<void()> hook;
    return hook;
}

// The report's directory under the cache directory, created with any missing parents.
QString makeReportDirectory(const std::string &guid, const QString &cacheDir)
{
    const QString directory = QDir(cacheDir).filePath(QString::fromStdString(guid));
    // Result not examined: a directory that cannot be made makes the write or move fail.
    QDir(QString()).mkpath(directory);
    return directory;
}

} // namespace

void writeCachedReport(const std::string &eventName, const std::string &reportText,
                       const std::string &guid, int first, int second, const QString &cacheDir)
{
    const QString fileName = QString::fromStdString(eventName) + "." + QString::number(first, 10) +
                             "." + QString::number(second, 10) + ".json";
    const QString path = QDir(makeReportDirectory(guid, cacheDir)).filePath(fileName);

    // QSaveFile writes into a temporary file in the same directory whose name never ends in
    // ".json" (or into an unnamed one) and renames it over `path` on commit.
    QSaveFile file(path);
    // Results of open and commit not examined: a report that cannot be written is lost.
    file.open(QIODevice::WriteOnly | QIODevice::Text);
    QTextStream stream(&file);
    qtcompat::useUtf8(stream);
    stream << QString::fromStdString(reportText);
    stream.flush();
    if (beforeCommitHook())
        beforeCommitHook()();
    file.commit();
}

void moveDumpToCache(const std::string &dumpPath, const std::string &guid, const QString &cacheDir)
{
    const QString dump = QString::fromStdString(dumpPath);
    const QString target =
        QDir(makeReportDirectory(guid, cacheDir)).filePath(QFileInfo(dump).fileName());
    // Result not examined: an empty or missing dump leaves the directory without one, and
    // a dump that cannot be moved stays where it was.
    QFile::rename(dump, target);
}

void setBeforeReportCommitHookForTesting(std::function<void()> hook)
{
    beforeCommitHook() = std::move(hook);
}

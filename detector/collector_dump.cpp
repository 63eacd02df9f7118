#include "detector/collector_dump.h"

#include "detector/anr_collector.h"
#include "log/log.h"
#include "platform/capture_helper.h"

#include <QDir>
#include <QFileInfo>

void logCaptureFallback()
{
    if (const std::string notice = platform::takeCaptureFallbackNotice(); !notice.empty())
        logMessage("%s", notice.c_str());
}

bool callMiniDumpWriteDump(platform::FileHandle file)
{
    const platform::DumpOutcome outcome = platform::writeProcessDump(file);
    if (outcome == platform::DumpOutcome::Faulted)
        logMessage("anr dump create failed with access violation.");
    return outcome == platform::DumpOutcome::Written;
}

std::string ANRCollector::writeMiniDump()
{
    if (!platform::loadDumpWriter())
        return {};

    // Named by the collector's wall clock (which tests replace). The file is created only if
    // no file has its name; a name taken by a dump of the same millisecond moves on to the
    // next millisecond.
    constexpr int kNameAttempts = 64;
    const long long firstMs = wallNow();
    std::wstring path;
    platform::FileHandle file = platform::kInvalidFile;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const QString name = QDir(cacheDir_).filePath(QString::number(firstMs + attempt) + ".dmp");
        path = name.toStdWString();
        file = platform::createDumpFile(path);
        const QFileInfo taken(name);
        if (file != platform::kInvalidFile || !(taken.exists() || taken.isSymLink()))
            break; // created, or failed for a reason other than the name
    }
    if (file == platform::kInvalidFile)
        return {};

    const bool written = callMiniDumpWriteDump(file);
    platform::closeDumpFile(file);
    logCaptureFallback();
    if (const int signal = platform::takeReplacedSignalHandlerNotice())
        logMessage("anr signal %d handler was replaced; threads are dumped without it.", signal);
    if (written) {
        logMessage("anr dump create success");
        return QString::fromStdWString(path).toUtf8().toStdString();
    }
    logMessage("anr dump create failed.");
    platform::deleteDumpFile(path); // result not examined
    return {};
}

#include "detector/collector_dump.h"

#include "base/log.h"
#include "detector/anr_collector.h"

#include <QDir>

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

    // The collector's wall clock, which tests replace to make two dumps share a millisecond.
    const QString fileName = QString::number(now(), 10) + ".dmp";
    const std::wstring path = QDir(cacheDir).filePath(fileName).toStdWString();
    const platform::FileHandle file = platform::createDumpFile(path);
    if (file == platform::kInvalidFile)
        return {};

    const bool written = callMiniDumpWriteDump(file);
    platform::closeDumpFile(file);
    if (written) {
        logMessage("anr dump create success");
        return QString::fromStdWString(path).toUtf8().toStdString();
    }
    logMessage("anr dump create failed.");
    platform::deleteDumpFile(path); // result not examined
    return {};
}

#include "detector/collector_dump.h"

#include "base/log.h"
#include "detector/anr_collector.h"

#include <QDir>

bool callMiniDumpWriteDump(platform::EntryPoint miniDumpWriteDump, platform::FileHandle file,
                           std::uint32_t dumpType)
{
    const platform::DumpOutcome outcome =
        platform::writeMiniDumpGuarded(miniDumpWriteDump, file, dumpType);
    if (outcome == platform::DumpOutcome::Faulted)
        logMessage("anr dump create failed with access violation.");
    return outcome == platform::DumpOutcome::Written;
}

std::string ANRCollector::writeMiniDump()
{
    loadDbgHelp();
    if (!debugEntryPoints.miniDumpWriteDump)
        return {};

    // The collector's wall clock, which tests replace to make two dumps share a millisecond.
    const QString fileName = QString::number(wallNow(), 10) + ".dmp";
    const std::wstring path = QDir(cacheDir).filePath(fileName).toStdWString();
    const platform::FileHandle file = platform::createDumpFile(path);
    if (file == platform::kInvalidFile)
        return {};

    const bool written = callMiniDumpWriteDump(debugEntryPoints.miniDumpWriteDump, file, 0);
    platform::closeDumpFile(file);
    if (written) {
        logMessage("anr dump create success");
        return QString::fromStdWString(path).toUtf8().toStdString();
    }
    logMessage("anr dump create failed.");
    platform::deleteDumpFile(path); // result not examined
    return {};
}

#include "detector/collector_dump.h"

#include "detector/anr_collector.h"
#include "log/log.h"
#include "platform/capture_helper.h"

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
    // Without a sink (no usable cache) no dump is written: it would have nowhere to wait.
    if (!dumpSink_ || !platform::loadDumpWriter())
        return {};

    // Named by the collector's wall clock (which tests replace); the sink picks the name.
    std::string name;
    const platform::FileHandle file = dumpSink_->createDump(wallNow(), name);
    if (file == platform::kInvalidFile)
        return {};

    const bool written = callMiniDumpWriteDump(file);
    platform::closeDumpFile(file);
    logCaptureFallback();
    if (const int signal = platform::takeReplacedSignalHandlerNotice())
        logMessage("anr signal %d handler was replaced; threads are dumped without it.", signal);
    logMessage(written ? "anr dump create success" : "anr dump create failed.");
    // A failed dump is deleted by the sink.
    return dumpSink_->finishDump(name, written);
}

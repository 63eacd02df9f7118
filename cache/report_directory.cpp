#include "cache/cache.h"

namespace cache
{

platform::FileRead ReportDirectory::readReport(std::string &bytes) const
{
    if (reportName_.empty())
        return platform::FileRead::Failed;
    return directory_.read(reportName_, kMaxReportBytes, bytes);
}

std::string ReportDirectory::dumpUploadPath() const
{
    if (dumpName_.empty() || directory_.kindOf(dumpName_) != platform::EntryKind::Regular)
        return {};
    return platform::pathToUtf8(platform::childPath(directory_.path(), dumpName_));
}

bool ReportDirectory::removeReportFile() const
{
    if (reportName_.empty() || !directory_.remove(reportName_))
        return false;
    cacheStepDone("report deleted");
    return true;
}

} // namespace cache
